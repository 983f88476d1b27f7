/* Writes as many bytes as its argument says to standard output, in blocks
 * of 64 KiB: the program the capture throughput rows read. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static char block[65536];
    memset(block, 'x', sizeof block);
    unsigned long long left = argc > 1 ? strtoull(argv[1], NULL, 10) : 0;
    while (left > 0) {
        size_t piece = left < sizeof block ? (size_t)left : sizeof block;
        ssize_t written = write(1, block, piece);
        if (written <= 0)
            return 1;
        left -= (unsigned long long)written;
    }
    return 0;
}
