#include "server/http_response.h"

namespace tavrik {

std::vector<std::string> response_pieces(Route route, const std::string& body) {
  const std::string status_ok(STATUS_LINE_OK);
  const std::string cors(CORS_HEADERS);
  switch (route) {
    case Route::preflight:
      return {"HTTP/1.1 204 No Content\r\n", cors, "Content-Length: 0\r\n\r\n"};
    case Route::snapshot:
      return {status_ok,  cors, "Content-Type: application/json\r\nContent-Length: ", std::to_string(body.size()),
              "\r\n\r\n", body};
    case Route::tablet:  // this computer's own page alone may read it: no CORS block
      return {status_ok, "Content-Type: application/json\r\nCache-Control: no-store\r\nContent-Length: ",
              std::to_string(body.size()), "\r\n\r\n", body};
    case Route::forbidden:
      return {"HTTP/1.1 403 Forbidden\r\n",
              cors,
              "Content-Type: text/plain; charset=utf-8\r\nContent-Length: ",
              std::to_string(FORBIDDEN_TEXT.size()),
              "\r\n\r\n",
              std::string(FORBIDDEN_TEXT)};
    case Route::event_stream:
    case Route::text:
      break;
  }
  return {status_ok,
          cors,
          "Content-Type: text/plain; charset=utf-8\r\nContent-Length: ",
          std::to_string(RUNNING_TEXT.size()),
          "\r\n\r\n",
          std::string(RUNNING_TEXT)};
}

}  // namespace tavrik
