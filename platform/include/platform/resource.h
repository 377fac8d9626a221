// Resources carried inside a program file, as Windows programs carry them.
//
// A program's resources live in an ELF section of their own, "corvres", put
// there by the resource compiler corvrc (see corvantel_add_resources in CMake).
// The section holds one or more containers, each 8-byte aligned:
//
//   offset 0   8 bytes  magic "CORVRES\1"
//   offset 8   u32      total length of this container in bytes (header included)
//   offset 12  u32      number of entries
//   then per entry, each starting 4-byte aligned:
//              u32 type, u32 id, u32 language, u32 size, size bytes of data
//
// All numbers are little-endian. Types and languages use Windows numbering
// (RT_MESSAGETABLE 11, RT_VERSION 16, language 1033). The data of a message
// table and of a version resource is laid out exactly as on Windows
// (MESSAGE_RESOURCE_DATA, VS_VERSIONINFO), so code that walks those structures
// by hand reads them unchanged.
//
// Files are parsed defensively: a truncated or hostile file is an error
// (ERROR_BAD_EXE_FORMAT, ERROR_INVALID_DATA), never a crash.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;
using HLOCAL = void*;
using LANGID = WORD;
using PUINT = UINT*;
using DWORD_PTR = std::uintptr_t;

inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
inline constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;

inline constexpr WORD kLanguageEnglishUs = 1033;

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(r) ((reinterpret_cast<std::uintptr_t>(r) >> 16) == 0)
#define RT_MESSAGETABLE MAKEINTRESOURCEA(11)
#define RT_VERSION MAKEINTRESOURCEA(16)

// Loads a program file's resources. Only data-file loading exists (the platform
// never runs the code of the file): flags must contain LOAD_LIBRARY_AS_DATAFILE,
// LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE or LOAD_LIBRARY_AS_IMAGE_RESOURCE, and file
// must be null; otherwise ERROR_INVALID_PARAMETER. A well-formed ELF file
// without resources loads; FindResource then fails. Errors: ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT (not a readable ELF64 little-endian
// file), ERROR_INVALID_DATA (a damaged resource section).
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
// Releases a module and every pointer obtained from it. Unknown handles give
// FALSE with ERROR_INVALID_HANDLE.
BOOL FreeLibrary(HMODULE module);

// Resource names and types are integers (MAKEINTRESOURCE) or "#<number>"
// strings. FindResource takes the language 1033 entry when there is one, else
// the first entry of that type and id; FindResourceEx asks for one language.
// A null module means the calling program's own file.
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
// The data stays valid until the module is freed.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// The path of the running program (/proc/self/exe); module must be null. As on
// Windows: the result is truncated and zero-terminated when it does not fit,
// the return value is then size and the error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// ---- Version resources --------------------------------------------------------

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // kFixedFileInfoSignature
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);
inline constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr DWORD VFT_APP = 1;

// The size of the buffer GetFileVersionInfo needs for the file's version
// resource (RT_VERSION, id 1); 0 with ERROR_RESOURCE_TYPE_NOT_FOUND when the
// file has none, or the error of LoadLibraryEx. handle, when given, is set to 0.
DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// Copies the version resource into data. Unlike Windows, a buffer smaller than
// the resource is refused (ERROR_INSUFFICIENT_BUFFER) instead of being filled
// with a truncated block that VerQueryValue would later read past.
BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
// subBlock "\" gives the VS_FIXEDFILEINFO; "\VarFileInfo\Translation" the
// language and code page pairs; "\StringFileInfo\040904b0\ProductName" a
// zero-terminated string (length in characters, the terminator counted). Keys
// compare without regard to ASCII case. The A form returns the string in the
// ANSI code page from a process-wide store that lives as long as the process.
// Fails (FALSE, *buffer null, *length 0) when the path or the block is not found
// or the block is damaged.
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length);

// ---- Message texts ------------------------------------------------------------

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

// Formats a message from a module's message table (resource 11, id 1), from
// the platform's table of system error texts, or from a string (source).
//
// Escapes as on Windows: %1..%99 inserts (an optional !fmt! after the number is
// accepted; every insert is a string), %n CR LF, %r a bare CR, %t tab, %b
// blank, %% %, %. and %! their character, %0 ends the message (no line break
// after it). The line breaks of the text itself are kept (the width bits of
// the flags are ignored).
//
// Inserts: arguments points at an array of zero-terminated strings (char* for
// the A form, WCHAR* for the W form) and FORMAT_MESSAGE_ARGUMENT_ARRAY must be
// set (va_list arguments do not exist here: ERROR_INVALID_PARAMETER). The array
// ends at its first null pointer; an insert beyond it, and every insert under
// FORMAT_MESSAGE_IGNORE_INSERTS, stays as written ("%5").
//
// Output: without FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer holds size characters
// and a result that does not fit with its terminator gives 0 and
// ERROR_INSUFFICIENT_BUFFER; with it, buffer is really an LPSTR*/LPWSTR* that
// receives storage to release with LocalFree. Returns the characters stored,
// terminator not counted; 0 on failure with GetLastError set
// (ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND, ...). The system
// table knows the codes the platform reports; any other code N formats as
// "Unknown error N".
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
// Releases storage returned by FormatMessage with FORMAT_MESSAGE_ALLOCATE_BUFFER.
// Returns null.
HLOCAL LocalFree(HLOCAL memory);

namespace platform {

// ---- Resource container: shared by corvrc and the loader ----------------------

inline constexpr char kResourceSectionName[] = "corvres";

struct ResourceEntry {
  DWORD type = 0;
  DWORD id = 0;
  DWORD language = 0;
  std::vector<BYTE> data;
};

// The bytes of one container holding entries (its length a multiple of 8).
std::vector<BYTE> encodeResourceContainer(const std::vector<ResourceEntry>& entries);
// Parses a section's bytes: one or more containers, with zero bytes allowed
// between them (the linker's alignment). nullopt when anything is out of range.
std::optional<std::vector<ResourceEntry>> decodeResourceSection(const BYTE* data, std::size_t size);

// A message table as Windows lays it out: one block per run of consecutive ids,
// entries of Length/Flags/Text with ANSI text (flags 0), zero-terminated and
// padded to 4 bytes. Texts are stored as given (bytes of the ANSI code page).
// Texts longer than an entry can hold give nullopt.
std::optional<std::vector<BYTE>> buildMessageTable(const std::map<DWORD, std::string>& messages);
// Looks an id up in a message table. Unicode entries (flags 1) are converted to
// the ANSI code page. nullopt when the id is absent or the table is damaged.
std::optional<std::string> findMessage(const BYTE* table, std::size_t size, DWORD id);
// Every id with its text; nullopt when the table is damaged.
std::optional<std::map<DWORD, std::string>> readMessageTable(const BYTE* table, std::size_t size);

struct VersionInfoSource {
  WORD fileVersion[4] = {0, 0, 0, 0};  // 3,70,0,124 gives MS 0x00030046, LS 0x0000007C
  WORD productVersion[4] = {0, 0, 0, 0};
  std::vector<std::pair<std::string, std::string>> strings;  // key, value (ANSI code page)
  WORD language = kLanguageEnglishUs;
  WORD codePage = 1200;  // the strings are UTF-16
};
// A VS_VERSIONINFO block: VS_FIXEDFILEINFO, StringFileInfo with one string table
// ("040904b0" for the defaults), VarFileInfo\Translation.
std::vector<BYTE> buildVersionInfo(const VersionInfoSource& source);

// The text of a Windows error code from the platform's system table, with the
// trailing CR LF that system texts carry; nullopt when the code is not known.
std::optional<std::string> systemErrorText(DWORD code);

// The insert and escape processing of FormatMessage on one ANSI text. inserts[i]
// replaces %<i+1>; with ignoreInserts every %<n> stays as written.
std::string expandMessage(std::string_view pattern, const std::vector<std::string>& inserts,
                          bool ignoreInserts = false);

// Loads the message table of the program file at path and returns message id's
// text; nullopt when the file, the table or the id is missing.
std::optional<std::string> loadMessageText(const std::string& path, DWORD id);

}  // namespace platform
