#include "server/http_response.h"

namespace tavrik {

FileForm file_form(const BuiltinFile& file, const RequestHead& head) {
  if (etag_matches(head.if_none_match, file.etag)) return FileForm::not_modified;
  if (!file.gzip_body.empty() && accepts_gzip(head.accept_encoding)) return FileForm::gzip;
  return FileForm::whole;
}

std::string file_response_head(const BuiltinFile& file, FileForm form) {
  std::string head(form == FileForm::not_modified ? "HTTP/1.1 304 Not Modified\r\n" : STATUS_LINE_OK);
  head += CORS_HEADERS;
  if (form != FileForm::not_modified) {
    head += "Content-Type: ";
    head += file.content_type;
    head += "\r\n";
  }
  if (form == FileForm::gzip) head += "Content-Encoding: gzip\r\n";
  // A cache must know that the answer depends on Accept-Encoding whichever form it got.
  if (!file.gzip_body.empty()) head += "Vary: Accept-Encoding\r\n";
  head += "ETag: ";
  head += file.etag;
  head += "\r\nCache-Control: no-cache\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n";
  // A 304 has no body by definition; a length there would describe the 200's.
  if (form != FileForm::not_modified)
    head += "Content-Length: " + std::to_string(file_body(file, form).size()) + "\r\n";
  head += "\r\n";
  return head;
}

std::string_view file_body(const BuiltinFile& file, FileForm form) {
  switch (form) {
    case FileForm::whole:
      return file.body;
    case FileForm::gzip:
      return file.gzip_body;
    case FileForm::not_modified:
      break;
  }
  return {};
}

}  // namespace tavrik
