/* The frame's C entries, compiled as C against the shared library. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "rdr00800/rdr00800.h"

static int failures = 0;

static void expect_text(char* text, const char* expected, const char* what) {
  if (!text || strcmp(text, expected) != 0) {
    fprintf(stderr, "%s: got \"%s\", expected \"%s\"\n", what, text ? text : "(null)", expected);
    ++failures;
  }
  Rdr00800_FreeText(text);
}

static void expect(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  size_t size = 1;
  char* clip;

  Initialize();
  expect_text(Rdr00800_Porta(12), "COM12", "Porta(12)");
  expect_text(Rdr00800_Velocidade(5), "9600", "Velocidade(5)");

  expect(Rdr00800_SetSetting(RDR00800_ID_TIPO_OPT, 2) == 1, "set IdTipoOpt");
  expect(Rdr00800_GetSetting(RDR00800_ID_TIPO_OPT) == 2, "get IdTipoOpt");
  /* The last error describes the last call only. */
  expect(Rdr00800_SetSetting(99, 1) == 0, "unknown setting refused");
  expect_text(Rdr00800_LastError(), "no setting 99", "last error after the refusal");
  expect(Rdr00800_GetSetting(RDR00800_ID_TIPO_OPT) == 2, "a call that succeeds");
  expect_text(Rdr00800_LastError(), "", "last error after a call that succeeded");

  Rdr00800_SetIdCriptoCons("segredo");
  expect_text(Rdr00800_GetIdCriptoCons(), "segredo", "IdCriptoCons");
  Rdr00800_SetIdCriptoCons(NULL);
  expect_text(Rdr00800_GetIdCriptoCons(), "", "IdCriptoCons after NULL");

  clip = Rdr00800_FindPackageResource("SHOWAVI", "AVI", &size);
  expect(clip != NULL && size > 12 && memcmp(clip, "RIFF", 4) == 0, "SHOWAVI resource");
  Rdr00800_FreeText(clip);
  expect(Rdr00800_FindPackageResource("NONE", "AVI", &size) == NULL && size == 0, "missing resource");

  Finalize();
  expect_text(Rdr00800_Porta(1), "", "Porta(1) after Finalize");
  /* The prefixed names are the same entries. */
  Rdr00800_Initialize();
  expect_text(Rdr00800_Porta(12), "COM12", "Porta(12) after Rdr00800_Initialize");
  Rdr00800_Finalize();
  expect_text(Rdr00800_Porta(1), "", "Porta(1) after Rdr00800_Finalize");

  return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
