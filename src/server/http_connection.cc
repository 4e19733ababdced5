#include "server/http_connection.h"

// Placeholder until the request handling lands: close at once.
void handle_connection(platform::Socket stream, SharedState state) {
  (void)state;
  stream.close();
}
