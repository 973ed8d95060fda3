/*
 * content_type.h - what a run of bytes is, whatever its name says: the MIME
 * type libmagic gives it, and the classes of types the rules care about.
 *
 *   inspect_type_of(data, n)     libmagic's MIME type of the first
 *                                TYPE_PROBE_BYTES bytes ("application/
 *                                x-dosexec", "text/plain", ...), lower case;
 *                                "application/x-empty" for no bytes;
 *                                TYPE_UNKNOWN when libmagic cannot be used
 *                                (error line once per thread). Windows
 *                                builds, which have no libmagic, recognise
 *                                a short table of signatures (executables,
 *                                archives, OLE2, PDF) and call the rest
 *                                TYPE_UNKNOWN.
 *   inspect_is_executable(type)  a program a system runs as it is: PE and
 *                                DOS executables, ELF, Mach-O, Windows
 *                                installers (MSI) and shortcuts.
 *   inspect_is_archive(type)     a container the archive lister opens
 *                                (archive_list.h): zip and the formats
 *                                built on it (Office Open XML,
 *                                OpenDocument, Java), 7z, rar, tar, cab,
 *                                ISO 9660, and gzip, bzip2 and xz streams.
 *   inspect_is_compressed_stream(type)  gzip, bzip2 or xz: one compressed
 *                                file, which may or may not hold a tar.
 *   inspect_is_encrypted_document(type, data, n)
 *                                an encrypted document that cannot be
 *                                looked into: an encrypted Office file (an
 *                                OLE2 envelope libmagic calls
 *                                "application/encrypted") or a PDF with an
 *                                /Encrypt entry.
 *   inspect_hides_executable(name, type)
 *                                an executable type under a name whose
 *                                extension is not one of a program
 *                                (EXECUTABLE_EXTENSIONS): a program named
 *                                as an image, a document or anything else.
 *                                A name without extension hides nothing
 *                                (no reader opens it as a document).
 *   inspect_extension(name)      the lower-cased text behind the name's
 *                                last dot ("" when there is none).
 *
 * Threads: any number at once; each thread keeps its own libmagic handle
 * (a handle is not safe to share), opened on its first use.
 */
#ifndef MAILWARD_INSPECT_CONTENT_TYPE_H
#define MAILWARD_INSPECT_CONTENT_TYPE_H

#include <cstddef>
#include <string>
#include <string_view>

// Bytes from the start of the data that the type is judged by.
constexpr std::size_t TYPE_PROBE_BYTES = 64 * 1024;
// The type of bytes whose type could not be found.
constexpr const char* TYPE_UNKNOWN = "application/octet-stream";

std::string inspect_type_of(const void* pData, std::size_t nLength);
bool inspect_is_executable(std::string_view type);
bool inspect_is_archive(std::string_view type);
bool inspect_is_compressed_stream(std::string_view type);
bool inspect_is_encrypted_document(std::string_view type, const void* pData, std::size_t nLength);
bool inspect_hides_executable(std::string_view name, std::string_view type);
std::string inspect_extension(std::string_view name);

#endif
