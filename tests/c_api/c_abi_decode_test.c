/* The decoding entries, compiled as C against the shared library. */
#include <stdio.h>
#include <string.h>

#include "rdr00800/rdr00800.h"

static int failures = 0;

static void check(int passed, const char* what, int line) {
  if (!passed) {
    fprintf(stderr, "line %d: %s\n", line, what);
    ++failures;
  }
}

/* Compares a text the library returned, and releases it. */
static int take_text_equals(char* text, const char* expected) {
  const int equal = text != NULL && strcmp(text, expected) == 0;
  Rdr00800_FreeText(text);
  return equal;
}

#define CHECK(condition) check((condition), #condition, __LINE__)
#define CHECK_TEXT(call, expected) check(take_text_equals((call), (expected)), #call, __LINE__)

static int ajusta_calls = 0;

/* Fits every field to its width with '#' instead of '0'. */
static const char* hash_ajusta(void* context, const char* text, int32_t width) {
  static char fitted[16];
  size_t length = strlen(text);
  size_t size = (size_t)width;
  (void)context;
  ++ajusta_calls;
  memset(fitted, '#', sizeof fitted);
  if (length > size) length = size;
  memcpy(fitted + size - length, text + strlen(text) - length, length);
  fitted[size] = '\0';
  return fitted;
}

int main(void) {
  Rdr00800HostFramework framework;

  CHECK_TEXT(Rdr00800_HexaToBin("A"), "1010");
  CHECK_TEXT(Rdr00800_HexaToBin(NULL), "");
  CHECK_TEXT(Rdr00800_BinToDec("1011001001101110"), "45678");

  CHECK_TEXT(Rdr00800_DecodeProximityFrame("2", "003DD93700\r\n"), "12345678");
  CHECK_TEXT(Rdr00800_DecodeProximityFrame("2", NULL), "");

  /* No device behind the port: nothing read, never NULL. */
  Rdr00800_SetPortDevice("COM9", "/nonexistent/rdr00800-reader");
  CHECK_TEXT(Rdr00800_PortDevicePath("com9"), "/nonexistent/rdr00800-reader");
  CHECK_TEXT(LeitorProximidade("2", "COM9", 9600), "");
  Rdr00800_SetPortDevice("COM9", NULL);

  memset(&framework, 0, sizeof framework);
  framework.Ajusta = hash_ajusta;
  Rdr00800_SetHostFramework(&framework);
  CHECK_TEXT(Rdr00800_DecodeProximityFrame("2", "000381C000"), "##7##896");
  CHECK(ajusta_calls == 2);
  Rdr00800_SetHostFramework(NULL);
  CHECK_TEXT(Rdr00800_DecodeProximityFrame("2", "000381C000"), "00700896");

  return failures == 0 ? 0 : 1;
}
