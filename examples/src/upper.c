/* upper: copies standard input to standard output in capitals (ASCII). */
#include <ctype.h>
#include <stdio.h>

int main(void) {
    int c;
    while ((c = getchar()) != EOF)
        putchar(toupper(c));
    return fflush(stdout) == 0 ? 0 : 1;
}
