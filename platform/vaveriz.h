/*
 * vaveriz.h - the virus-scanning engine (libvaveriz / vaveriz.dll).
 *
 * On Linux the engine is libclamav. AV_Init loads and compiles the signature
 * databases named by the host configuration (miralib):
 *   SignatureDir       the project's own database folder (shipped in data/)
 *   SystemSignatureDir the standard ClamAV database folder, loaded too when it
 *                      holds databases; "" switches it off
 * On Windows a small engine of the project's own reads the body signatures
 * (plain hex at any offset) of the same database files.
 *
 * Calls may overlap from any threads. AV_CheckFile gives 1 (virus found),
 * 0 (clean) or -1 (engine failure, file missing or unreadable, engine not
 * initialised). AV_GetLastVirusName gives the name of the calling thread's
 * last finding ("" when there was none). AV_GetEngineVersion gives a text
 * naming the engine, its version and the number of loaded signatures; its
 * eleven arguments are ignored (pass 0). AV_ActivateUpdate reloads the
 * databases. AV_Exit releases the engine; AV_Init after it starts it anew.
 */
#ifndef VAVERIZ_H
#define VAVERIZ_H

#if defined(_WIN32)
#if defined(VAVERIZ_BUILDING)
#define VAVERIZ_API __declspec(dllexport)
#else
#define VAVERIZ_API __declspec(dllimport)
#endif
#else
#define VAVERIZ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

VAVERIZ_API int AV_Init(void);
VAVERIZ_API void AV_Exit(void);
VAVERIZ_API int AV_CheckFile(const char* path);
VAVERIZ_API const char* AV_GetLastVirusName(void);
VAVERIZ_API const char* AV_GetEngineVersion(int a1, int a2, int a3, int a4, int a5, int a6,
                                            int a7, int a8, int a9, int a10, int a11);
VAVERIZ_API int AV_ActivateUpdate(int update);

#ifdef __cplusplus
}
#endif

#endif /* VAVERIZ_H */
