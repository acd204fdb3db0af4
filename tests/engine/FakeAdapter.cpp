// A stand-in stage adapter: records the framed messages it receives on its
// standard input (one per line) and its working directory into the file named
// by FAKE_ADAPTER_LOG (FAKE_ADAPTER_HANG: reads nothing and never exits), writes FAKE_ADAPTER_STDOUT and FAKE_ADAPTER_STDERR to its
// standard output and error, and exits with FAKE_ADAPTER_EXIT (0 by default).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

int main() {
    const char* logPath = std::getenv("FAKE_ADAPTER_LOG");
    std::ofstream log(logPath ? logPath : "/dev/null", std::ios::binary | std::ios::trunc);
    char cwd[4096];
    log << "cwd " << (::getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n" << std::flush;
    if (const char* quitEarly = std::getenv("FAKE_ADAPTER_QUIT_EARLY"))
        return std::atoi(quitEarly);
    // An adapter that never reads its input and never exits.
    if (std::getenv("FAKE_ADAPTER_HANG"))
        for (;;)
            ::pause();
    for (;;) {
        unsigned char header[2];
        if (std::fread(header, 1, 2, stdin) != 2)
            break;
        const std::size_t length = header[0] | (header[1] << 8);
        std::string text(length, '\0');
        if (length && std::fread(&text[0], 1, length, stdin) != length) {
            log << "truncated\n";
            break;
        }
        log << "msg " << text << "\n" << std::flush;
    }
    log << "eof\n";
    if (const char* error = std::getenv("FAKE_ADAPTER_STDERR"))
        std::fputs(error, stderr);
    if (const char* output = std::getenv("FAKE_ADAPTER_STDOUT"))
        std::fputs(output, stdout);
    const char* code = std::getenv("FAKE_ADAPTER_EXIT");
    return code ? std::atoi(code) : 0;
}
