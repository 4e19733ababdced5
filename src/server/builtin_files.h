// The map page and the files it loads, built into the program from map/
// (cmake/embed_files.cmake): served from memory, never read from disk.
#pragma once

#include <span>
#include <string_view>

namespace tavrik {

struct BuiltinFile {
  std::string_view url;           // "/map" for the page, "/map/<path below map/>" for the others
  std::string_view content_type;  // the whole header value
  std::string_view etag;          // "\"<SHA-256 of body, hex>\"", quotes included
  std::string_view body;
  std::string_view gzip_body;  // the gzip form; empty when it would not be smaller
};

// Every built-in file, the page first.
std::span<const BuiltinFile> builtin_files();

// The built-in file at exactly `path` (a request path, compared byte for
// byte), or nothing.
const BuiltinFile* find_builtin_file(std::string_view path);

}  // namespace tavrik
