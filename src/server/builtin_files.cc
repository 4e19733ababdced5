#include "server/builtin_files.h"

namespace tavrik {

const BuiltinFile* find_builtin_file(std::string_view path) {
  for (const BuiltinFile& file : builtin_files())
    if (file.url == path) return &file;
  return nullptr;
}

}  // namespace tavrik
