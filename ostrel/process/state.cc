#include "state.h"

#include <cstdlib>

ClientMetainfo client_metainfo;
std::array<char, text_buffer_size> buf{};
std::array<char, text_buffer_size> srvresp{};
std::size_t srvresp_len = 0;
int pipe_to_server[2] = {-1, -1};
int pipe_from_server[2] = {-1, -1};
const char* local_hostname = "localhost";

// Weak, so that a fuzzing harness can end a run without ending its process.
__attribute__((weak)) void terminate_process(int status) { std::exit(status); }
