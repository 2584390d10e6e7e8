/* SAMPLE decryption library, built as KQZR32.dll. It stands in for the real
 * decryption library, which the host's vendor supplies and which is not part
 * of this project: use it to demonstrate and test the gateway, never to
 * protect real consumer codes. Its scheme is a toy (see README.md).
 *
 * Both entries read the key from the file Cliente.Cfg (name matched ignoring
 * letter case) in `directory` and answer "CLIENTE.CFG" when the file is
 * missing or holds no key. Answers live in a buffer of the calling thread,
 * valid until that thread's next call; a code of 1024 characters or more
 * gives "". NULL arguments count as "". */
#ifndef KQZR32_SAMPLE_H
#define KQZR32_SAMPLE_H

/* The entries' calling convention, the one the gateway calls them with:
 * stdcall on 32-bit Windows, exported under their plain names (the build
 * links with --kill-at); the platform's C convention elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define KQZR32_CALL __stdcall
#else
#define KQZR32_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

const char* KQZR32_CALL DescriptografaMatricula(const char* directory, const char* code);
/* The inverse of DescriptografaMatricula, for demos and tests. */
const char* KQZR32_CALL CriptografaMatricula(const char* directory, const char* code);

#ifdef __cplusplus
}
#endif

#endif /* KQZR32_SAMPLE_H */
