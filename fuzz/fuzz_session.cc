// The client side of the SMTP dialogue through the real session code: the
// input is what the client sends; the server's replies come from a script
// that the first byte chooses. A run ends where the process would end.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "pipe_feed.h"
#include "log.h"
#include "session.h"
#include "state.h"

namespace {

struct ProcessEnded {
  int status;
};

const char* const reply_scripts[] = {
    "250 OK\r\n",
    "250-first\r\n250-second\r\n250 last\r\n",
    "451 later\r\n",
    "550 no\r\n",
    "354 go ahead\r\n",
    "250\r\n",
    "250-x\r\n",  // a continuation that the next reply finishes
    "334 VXNlcm5hbWU6\r\n",
    "235 authenticated\r\n",
    "250-first\r\n250-CHUNKING\r\n250 last\r\n",
};

std::string server_output(uint8_t choice) {
  std::string out = (choice & 0x80) ? "421 busy\r\n" : "220 fuzz ESMTP\r\n";
  constexpr std::size_t scripts = sizeof reply_scripts / sizeof reply_scripts[0];
  for (unsigned i = 0; i < 200; ++i) out += reply_scripts[(choice + i * (1 + (choice & 3))) % scripts];
  return out;
}

}  // namespace

// Ends a run instead of the process.
void terminate_process(int status) { throw ProcessEnded{status}; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_setup("ostrel: ");
  log_threshold = 7;
  int null_out = open("/dev/null", O_WRONLY);
  dup2(null_out, client_out);
  pipe_to_server[1] = null_out;
  pipe_from_server[0] = 10;
  client_metainfo.addr = "192.0.2.1";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 60000) return 0;
  Envelope envelope;  // what the session fills in, looked at after it
  feed(client_in, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  feed(pipe_from_server[0], server_output(data[0]));
  client_metainfo.validity = 0;
  try {
    SessionResult result = envelope_session(envelope, client_metainfo);
    const HeldLine& held = result.held;
    // A held line is DATA or BDAT with an empty recipient, kept whole.
    if (result.end == SessionEnd::held &&
        (held.len == 0 || held.len >= held.text.size() || held.text[held.len] != '\0' || envelope.to[0] != '\0' ||
         (strncasecmp(held.text.data(), "data", 4) != 0 && strncasecmp(held.text.data(), "bdat", 4) != 0)))
      __builtin_trap();
  } catch (const ProcessEnded&) {
  }
  // The envelope fields stay terminated and hold no quote.
  for (const auto* field : {&envelope.helo, &envelope.from, &envelope.to}) {
    if (std::memchr(field->data(), '\0', field->size()) == nullptr) __builtin_trap();
    if (std::strchr(field->data(), '\'') != nullptr) __builtin_trap();
  }
  return 0;
}
