/*
 * vaveriz.h - the virus-scanning engine (libvaveriz / vaveriz.dll).
 *
 * On Linux the engine is libclamav. AV_Init loads and compiles the signature
 * databases of two folders named by the host configuration (miralib), read
 * at each load:
 *   SignatureDir       the project's own database folder (share/signatures);
 *                      required: without signatures the engine does not start
 *   SystemSignatureDir the standard ClamAV database folder; loaded too when it
 *                      holds databases, passed over when it holds none or is
 *                      "" (a database there that fails to load fails the load)
 *   TempDir            where libclamav makes its folder per scan and unpacks
 *                      archives and mails (read at each load; "" leaves
 *                      libclamav's own choice, $TMPDIR or /tmp)
 *   EngineMaxScanSize, EngineMaxFileSize (kilobytes), EngineMaxFiles,
 *   EngineMaxRecursion, EngineMaxScanTime (milliseconds)
 *                      the scan limits (defaults: ClamAV's own, 400 MB,
 *                      100 MB, 10000, 17, 120000 ms); a scan that reaches
 *                      one fails (-1, an error line "vaveriz: scanning
 *                      <path> stopped at a limit: <libclamav's name>"),
 *                      never a clean result. So does a scan that left an
 *                      embedded file out or cut it: an archive member
 *                      larger than EngineMaxFileSize ("... stopped at a
 *                      limit: MaxFileSize (<member>, ...)"), a zip64 entry,
 *                      an encrypted member or archive ("... did not see all
 *                      of it: <what> (<member>)")
 *   Engine             the back end: "local" (default: libclamav on Linux,
 *                      the signature reader below on Windows) or "clamd"
 *   ClamdSocket        with Engine = clamd: one or more clamd sockets, a
 *                      unix socket's path or HOST:PORT, separated by commas
 *   ClamdTimeout, ClamdConnectTimeout (seconds), ClamdStreamMaxLength (bytes)
 *                      time for clamd's answer to one scan and for a
 *                      connection; the most clamd takes in one stream (set
 *                      it to clamd's StreamMaxLength); defaults 120, 5 and
 *                      26214400
 * Scans use ClamAV's default options: archives, mail, executables, documents
 * and the other formats are unpacked and scanned, heuristic alerts are on.
 * Signature names come as libclamav gives them: signatures of databases that
 * are not ClamAV's official ones carry ".UNOFFICIAL" at the end
 * ("Mailward.Test.EICAR.UNOFFICIAL").
 *
 * On Windows a small engine of the project's own reads the plain body
 * signatures (hex, any offset) of the *.ndb files of the same folders and
 * finds them in the raw bytes of a file; it does not unpack anything. Of the
 * limits it applies the two sizes, to the file itself.
 *
 * With Engine = clamd, every scan streams the bytes to a clamd (its INSTREAM
 * command, one connection per scan) and takes its answer; the sockets are
 * used in turn, and a scan whose clamd cannot be reached, breaks off or does
 * not answer in time goes to the next one (a clamd that failed is passed
 * over for CLAMD_RETRY_SECONDS while another is left). Data longer than
 * ClamdStreamMaxLength, and clamd's own "size limit exceeded" answer, are a
 * limit reached; every other clamd error is a failure: neither is ever
 * clean. clamd applies its own scan limits; it reports them as
 * "Heuristics.Limits.Exceeded" only with AlertExceedsMax yes in its
 * configuration, which a site must set for limits to fail the scan. The
 * version text is "<clamd's version> via clamd".
 *
 * Calls may overlap from any threads.
 *   AV_Init            0 when the engine is ready, -1 otherwise (an error
 *                      line says why). Called again, it loads anew.
 *   AV_Exit            releases the engine; scans still running finish with
 *                      the engine they started with.
 *   AV_CheckFile       AV_RESULT_VIRUS (1) virus found, AV_RESULT_CLEAN (0)
 *                      clean, AV_RESULT_FAILED (-1) failure: no engine loaded,
 *                      a null or empty path, a path that is missing or not a
 *                      regular file, or an engine error.
 *   AV_CheckBuffer     the same for `size` bytes in memory, with the same
 *                      options, limits and names as a file; the data is read
 *                      in place (libclamav writes only what it unpacks,
 *                      below TempDir). `name` stands for the data in error
 *                      lines (null or "" gives "(memory)"). 1 virus found,
 *                      0 clean (also for size 0), -1 failure: no engine
 *                      loaded, null data with a size, a limit reached or an
 *                      engine error.
 *   AV_GetLastVirusName the name of the calling thread's last finding, kept
 *                      across later clean scans ("" when it had none). Valid
 *                      until the same thread's next finding.
 *   AV_GetEngineVersion "<engine> <version>, <n> signatures" ("ClamAV 1.4.6,
 *                      2 signatures"; with ClamAV's official databases also
 *                      ", database <version>" after the engine version), or
 *                      "<engine> <version>, no signatures loaded". The eleven
 *                      arguments are ignored (pass 0). The text is the calling
 *                      thread's and stays valid until its next call.
 *   AV_GetLastFailure  why the calling thread's last AV_CheckFile or
 *                      AV_CheckBuffer failed: AV_FAILURE_LIMIT when the engine
 *                      stopped at one of its limits or did not see all of the
 *                      data (an archive member over EngineMaxFileSize, a
 *                      zip64 entry, a cut member: what lies behind it was not
 *                      scanned, and the same data stops there again at every
 *                      try), AV_FAILURE_ENCRYPTED when all it left out was
 *                      encrypted archive content (the engine cannot look into
 *                      it; the same bytes fail again at every try),
 *                      AV_FAILURE_ERROR for any other failure;
 *                      AV_FAILURE_NONE after a scan that did not fail.
 *   AV_Preload         for a host that forks its checking processes from one
 *                      process: builds the engine of the configuration now,
 *                      in the calling process (best before it starts a
 *                      second thread: libclamav reads its databases with
 *                      stdio, which locks every character once a process has
 *                      two threads), and keeps it aside. The first AV_Init of
 *                      this process, or of a child forked from it, adopts it
 *                      instead of loading anew when the configuration (back
 *                      end, folders, TempDir, limits, clamd settings) is the
 *                      same; otherwise it loads as usual. The children then
 *                      share the engine's pages (a compiled engine is only
 *                      read), and an adopted engine is therefore never freed:
 *                      AV_Exit takes it out of use and it goes with the
 *                      process (freeing it would write, and so copy, every
 *                      page the processes share). 0 when the engine is built,
 *                      -1 otherwise (an error line says why); called again,
 *                      it replaces the engine kept aside.
 *   AV_ActivateUpdate  reloads the databases of the configured folders: 0
 *                      when the new signatures are in use; -1 when no engine
 *                      was loaded (none is started) or the load failed, and
 *                      then the engine loaded before stays in use. The
 *                      argument is ignored.
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

#include <stddef.h>

/* Results of AV_CheckFile and AV_CheckBuffer. */
#define AV_RESULT_CLEAN 0
#define AV_RESULT_VIRUS 1
#define AV_RESULT_FAILED (-1) /* no engine, bad input, a limit, an engine error */

/* Results of AV_GetLastFailure. */
#define AV_FAILURE_NONE 0
#define AV_FAILURE_ERROR 1
#define AV_FAILURE_LIMIT 2
#define AV_FAILURE_ENCRYPTED 3

#ifdef __cplusplus
extern "C" {
#endif

VAVERIZ_API int AV_Init(void);
VAVERIZ_API void AV_Exit(void);
VAVERIZ_API int AV_CheckFile(const char* path);
VAVERIZ_API int AV_CheckBuffer(const void* data, size_t size, const char* name);
VAVERIZ_API const char* AV_GetLastVirusName(void);
VAVERIZ_API const char* AV_GetEngineVersion(int a1, int a2, int a3, int a4, int a5, int a6, int a7,
                                            int a8, int a9, int a10, int a11);
VAVERIZ_API int AV_ActivateUpdate(int update);
VAVERIZ_API int AV_GetLastFailure(void);
VAVERIZ_API int AV_Preload(void);

#ifdef __cplusplus
}
#endif

#endif /* VAVERIZ_H */
