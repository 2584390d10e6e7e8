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

#ifdef __cplusplus
extern "C" {
#endif

const char* DescriptografaMatricula(const char* directory, const char* code);
/* The inverse of DescriptografaMatricula, for demos and tests. */
const char* CriptografaMatricula(const char* directory, const char* code);

#ifdef __cplusplus
}
#endif

#endif /* KQZR32_SAMPLE_H */
