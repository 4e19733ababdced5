// The bytes every response shares: the CORS block that follows each status
// line, the event stream's included, the fixed texts, and the built-in files'
// heads. The routes' own heads follow from their rows (routes.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/builtin_files.h"
#include "server/http_request.h"

namespace tavrik {

constexpr std::string_view STATUS_LINE_OK = "HTTP/1.1 200 OK\r\n";

// The four header lines that follow the status line of every response, the
// event stream's included: any page may read us and pass preflight checks.
constexpr std::string_view CORS_HEADERS =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n";

constexpr std::string_view RUNNING_TEXT =
    "Velmara tavrik is running. Keep this window open and enable live position (📡) on the map.\n";

// The answer to another machine that came without the right key.
constexpr std::string_view FORBIDDEN_TEXT =
    "Forbidden: open the tablet address shown in the bridge's window, key included.\n";

// How a built-in file is answered: as it is, in its gzip form (when the
// client takes gzip and the form exists), or 304 when the client holds it.
enum class FileForm { whole, gzip, not_modified };
FileForm file_form(const BuiltinFile& file, const RequestHead& head);

// The status line and headers of the answer with `file` in `form`, blank
// line included; file_body follows them.
std::string file_response_head(const BuiltinFile& file, FileForm form);
std::string_view file_body(const BuiltinFile& file, FileForm form);

}  // namespace tavrik
