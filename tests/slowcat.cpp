// Copies standard input to standard output 64 KiB at a time, pausing between chunks:
//   slowcat MILLISECONDS [LOGFILE [COUNTFILE]]
// Put in front of gunzip, it makes an extraction last long enough to act on the window meanwhile.
// Each start appends a line to LOGFILE; COUNTFILE holds the bytes read so far, rewritten after
// each read.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char **argv) {
    const int pause = argc > 1 ? std::atoi(argv[1]) : 20;
    if (argc > 2) {
        if (std::FILE *log = std::fopen(argv[2], "a")) {
            std::fputs("started\n", log);
            std::fclose(log);
        }
    }
    const int count = argc > 3 ? open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    unsigned long long total = 0;
    static char buffer[65536];
    for (;;) {
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n <= 0) return n == 0 ? 0 : 1;
        total += static_cast<unsigned long long>(n);
        if (count >= 0) {
            char text[32];
            const int length = std::snprintf(text, sizeof text, "%20llu\n", total);
            if (pwrite(count, text, static_cast<std::size_t>(length), 0) != length) return 1;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(1, buffer + done, static_cast<std::size_t>(n - done));
            if (w <= 0) return 1;
            done += w;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}
