// The body of the crash upload: a multipart/form-data text of the form fields
// in map order followed by the file part, laid out byte for byte as the crash
// server reads it.
//
// The functions keep no state and may run on any thread. They call no system
// function (the UTF-16 to UTF-8 conversion is passed in), so that the layout
// can be checked byte for byte on any machine.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_BODY_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_BODY_H_

#include <stddef.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tavra {

// Form field name to value, ordered by UTF-16 code unit (the type of the
// upload job's form fields).
using UploadParameters = std::map<std::wstring, std::wstring>;

// Converts UTF-16 text to UTF-8.
using WideToUtf8Function = std::string (*)(std::wstring_view text);

// A name goes into the part header unescaped, so it must be non-empty and
// hold only code units 32 to 127 other than the double quote.
bool isValidParameterName(std::wstring_view name);
bool hasValidParameterNames(const UploadParameters& parameters);

// 27 hyphens, then `first` and `second` as 8 upper-case hexadecimal digits
// each: 43 characters.
std::wstring makeMultipartBoundary(unsigned first, unsigned second);

// Draws one number of a boundary. `context` is the one given with it.
using BoundaryDrawFunction = unsigned (*)(void* context);

// Boundaries tried before an upload is given up. A drawn boundary is taken
// by the body's texts only when they hold it on purpose (a form field value
// comes from the crashed process), and two draws in a row so taken are as
// good as impossible.
constexpr int kMaxBoundaryDraws = 8;

// Draws boundaries, each from two draws (the first-drawn first, as
// makeMultipartBoundary lays them out), until one is held by none of the
// body's texts: the parameter names and values and the upload file path and
// file part name (each converted with `toUtf8`), and the file's bytes. A
// text that held the boundary could end its part early or forge parts of
// its own. False, with `boundary` untouched, when all kMaxBoundaryDraws
// boundaries were held.
bool chooseMultipartBoundary(BoundaryDrawFunction draw, void* context,
                             const UploadParameters& parameters, const std::wstring& uploadFilePath,
                             const std::wstring& filePartName, std::string_view fileBytes,
                             WideToUtf8Function toUtf8, std::wstring* boundary);

// A body built in one allocation of its exact size.
struct MultipartBody {
  std::unique_ptr<char[]> bytes;
  size_t size = 0;
};

// Builds, for boundary B: for each parameter in map order
//   "--" B CRLF "Content-Disposition: form-data; name=\"" name "\"" CRLF CRLF value CRLF
// then the file part
//   "--" B CRLF "Content-Disposition: form-data; name=\"" filePartName
//   "\"; filename=\"" uploadFilePath "\"" CRLF
//   "Content-Type: application/octet-stream" CRLF CRLF fileBytes CRLF
// and the closing line "--" B "--" CRLF. Text is converted with `toUtf8` and
// nothing is escaped, so B must be one that no text holds
// (chooseMultipartBoundary). False, with `body` untouched, when the boundary, the
// path or the part name is empty after conversion, or when memory for the
// body cannot be had.
bool buildMultipartBody(const std::wstring& boundary, const UploadParameters& parameters,
                        const std::wstring& uploadFilePath, const std::wstring& filePartName,
                        std::string_view fileBytes, WideToUtf8Function toUtf8, MultipartBody* body);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_BODY_H_
