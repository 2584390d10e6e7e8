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

/* Credentials: every match counted, only `capacity` written, absent fields
 * -1, errors -1 or NULL with the reason kept. */
static void check_credentials(void) {
  Rdr00800_Credential found[2];
  memset(found, 0x7F, sizeof found);
  CHECK(Rdr00800_DecodeCredentials("2F623AE", "hex", NULL, found, 1) == 6);
  CHECK(strcmp(found[0].format, "H10301") == 0 && found[0].bits == 26 && found[0].parity == 1);
  CHECK(found[0].facility == 123 && found[0].card == 4567 && found[0].issue == -1 && found[0].oem == -1);
  CHECK(strcmp(found[0].raw, "2F623AE") == 0);
  CHECK(found[1].bits == 0x7F7F7F7F);
  CHECK_TEXT(Rdr00800_CredentialForm(&found[0], "code"), "12304567");
  CHECK_TEXT(Rdr00800_CredentialForm(&found[0], "roman"), "");
  CHECK_TEXT(Rdr00800_LastError(), "unknown credential form \"roman\" (code, fc,cn, dez10, dez8, dez13, hex)");

  CHECK(Rdr00800_DecodeCredentials("003DD93700\r\n", NULL, NULL, found, 2) == 1 && found[0].parity == 0);
  CHECK(Rdr00800_DecodeCredentials("3C00CE754CCA", "em4100", "", found, 2) == 0);
  CHECK(Rdr00800_DecodeCredentials("3C00CE754C", "em4100", "", NULL, 0) == 1);
  CHECK(Rdr00800_DecodeCredentials("00", "hex80", "", found, 2) == -1);

  CHECK_TEXT(Rdr00800_EncodeCredential("H10301", 123, 45678, "hex40", 0, 0), "00BDD93740");
  CHECK(Rdr00800_EncodeCredential("H10301", 256, 1, "hex40", 0, 0) == NULL);
  CHECK_TEXT(Rdr00800_LastError(), "facility 256 is wider than H10301's 8-bit field");

  CHECK(Rdr00800_RegisterCredentialFormat("CSite", "bits=30 card=2-29 odd=30:2-29") == 1);
  CHECK(Rdr00800_CredentialFormatCount() == 42);
  CHECK_TEXT(Rdr00800_CredentialFormatName(41), "CSite");
  CHECK_TEXT(Rdr00800_CredentialFormatName(42), "");
  CHECK(Rdr00800_RegisterCredentialFormat("EM4100", "bits=40 card=1-40") == 0);
  CHECK_TEXT(Rdr00800_LastError(), "credential format name \"EM4100\" is a built-in format's");
}

int main(void) {
  Rdr00800HostFramework framework;

  check_credentials();

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
