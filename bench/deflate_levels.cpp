// Compresses standard input with the packer's block deflate and prints the compressed size:
//   deflate-levels LEVEL BLOCK_KIB JOBS < data
// bench/pack runs it on the benchmark tree's tar to weigh compression levels and block sizes.
#include "tools/paralleldeflate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: deflate-levels LEVEL BLOCK_KIB JOBS < data\n");
        return 2;
    }
    try {
        unsigned long long size = 0;
        ParallelGzip gzip([&size](const unsigned char *, std::size_t n) { size += n; },
                          static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[1]),
                          static_cast<std::size_t>(std::atoi(argv[2])) << 10);
        std::vector<char> chunk(1 << 20);
        ssize_t n;
        while ((n = read(0, chunk.data(), chunk.size())) > 0) gzip.Write(chunk.data(), static_cast<std::size_t>(n));
        if (n < 0) {
            std::perror("deflate-levels: standard input");
            return 1;
        }
        gzip.Finish();
        std::printf("%llu\n", size);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "deflate-levels: %s\n", e.what());
        return 1;
    }
}
