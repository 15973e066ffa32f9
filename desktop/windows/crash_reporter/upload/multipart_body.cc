#include "desktop/windows/crash_reporter/upload/multipart_body.h"

#include <stdint.h>
#include <string.h>

#include <new>
#include <vector>

namespace tavra {
namespace {

constexpr char kBoundaryPrefix[] = "---------------------------";
constexpr char kLineEnd[] = "\r\n";
constexpr char kDashes[] = "--";
constexpr char kDispositionStart[] = "Content-Disposition: form-data; name=\"";
constexpr char kFieldHeaderEnd[] = "\"\r\n\r\n";
constexpr char kFileNameStart[] = "\"; filename=\"";
constexpr char kFileHeaderEnd[] = "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
constexpr char kClosingEnd[] = "--\r\n";

// Collects the pieces first, so that the body is allocated once at its size.
class PieceList {
 public:
  void add(std::string_view piece) {
    pieces_.push_back(piece);
    if (piece.size() > SIZE_MAX - size_) tooLarge_ = true;
    size_ += piece.size();
  }
  bool write(MultipartBody* body) const {
    if (tooLarge_) return false;
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size_ == 0 ? 1 : size_]);
    if (!bytes) return false;
    size_t offset = 0;
    for (std::string_view piece : pieces_) {
      if (!piece.empty()) memcpy(bytes.get() + offset, piece.data(), piece.size());
      offset += piece.size();
    }
    body->bytes = std::move(bytes);
    body->size = size_;
    return true;
  }

 private:
  std::vector<std::string_view> pieces_;
  size_t size_ = 0;
  bool tooLarge_ = false;
};

}  // namespace

bool isValidParameterName(std::wstring_view name) {
  if (name.empty()) return false;
  for (wchar_t c : name) {
    if (c < 32 || c > 127 || c == L'"') return false;
  }
  return true;
}

bool hasValidParameterNames(const UploadParameters& parameters) {
  for (const auto& parameter : parameters) {
    if (!isValidParameterName(parameter.first)) return false;
  }
  return true;
}

std::wstring makeMultipartBoundary(unsigned first, unsigned second) {
  static const wchar_t kHexDigits[] = L"0123456789ABCDEF";
  std::wstring boundary(kBoundaryPrefix, kBoundaryPrefix + sizeof(kBoundaryPrefix) - 1);
  for (unsigned value : {first, second}) {
    for (int shift = 28; shift >= 0; shift -= 4)
      boundary.push_back(kHexDigits[(value >> shift) & 0xF]);
  }
  return boundary;
}

bool chooseMultipartBoundary(BoundaryDrawFunction draw, void* context,
                             const UploadParameters& parameters, const std::wstring& uploadFilePath,
                             const std::wstring& filePartName, std::string_view fileBytes,
                             WideToUtf8Function toUtf8, std::wstring* boundary) {
  // The texts as they go into the body, converted once for all draws.
  std::vector<std::string> texts;
  texts.reserve(parameters.size() * 2 + 2);
  for (const auto& parameter : parameters) {
    texts.push_back(toUtf8(parameter.first));
    texts.push_back(toUtf8(parameter.second));
  }
  texts.push_back(toUtf8(uploadFilePath));
  texts.push_back(toUtf8(filePartName));

  for (int attempt = 0; attempt < kMaxBoundaryDraws; ++attempt) {
    const unsigned first = draw(context);
    const unsigned second = draw(context);
    const std::wstring candidate = makeMultipartBoundary(first, second);
    // The boundary is ASCII: its UTF-8 form is its units narrowed.
    const std::string text(candidate.begin(), candidate.end());
    bool held = fileBytes.find(text) != std::string_view::npos;
    for (size_t i = 0; !held && i < texts.size(); ++i)
      held = texts[i].find(text) != std::string::npos;
    if (!held) {
      *boundary = candidate;
      return true;
    }
  }
  return false;
}

bool buildMultipartBody(const std::wstring& boundary, const UploadParameters& parameters,
                        const std::wstring& uploadFilePath, const std::wstring& filePartName,
                        std::string_view fileBytes, WideToUtf8Function toUtf8,
                        MultipartBody* body) {
  const std::string boundaryText = toUtf8(boundary);
  const std::string pathText = toUtf8(uploadFilePath);
  const std::string partNameText = toUtf8(filePartName);
  if (boundaryText.empty() || pathText.empty() || partNameText.empty()) return false;

  // Every converted text lives here until the body is written; the list only
  // points into them.
  std::vector<std::string> texts;
  texts.reserve(parameters.size() * 2);
  PieceList pieces;
  for (const auto& parameter : parameters) {
    texts.push_back(toUtf8(parameter.first));
    const std::string& name = texts.back();
    texts.push_back(toUtf8(parameter.second));
    const std::string& value = texts.back();
    pieces.add(kDashes);
    pieces.add(boundaryText);
    pieces.add(kLineEnd);
    pieces.add(kDispositionStart);
    pieces.add(name);
    pieces.add(kFieldHeaderEnd);
    pieces.add(value);
    pieces.add(kLineEnd);
  }
  pieces.add(kDashes);
  pieces.add(boundaryText);
  pieces.add(kLineEnd);
  pieces.add(kDispositionStart);
  pieces.add(partNameText);
  pieces.add(kFileNameStart);
  pieces.add(pathText);
  pieces.add(kFileHeaderEnd);
  pieces.add(fileBytes);
  pieces.add(kLineEnd);
  pieces.add(kDashes);
  pieces.add(boundaryText);
  pieces.add(kClosingEnd);
  return pieces.write(body);
}

}  // namespace tavra
