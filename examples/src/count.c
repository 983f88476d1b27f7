/* count: says how many lines standard input holds. */
#include <stdio.h>

int main(void) {
    unsigned long lines = 0;
    int c;
    while ((c = getchar()) != EOF)
        lines += c == '\n';
    printf("%lu lines\n", lines);
    return fflush(stdout) == 0 ? 0 : 1;
}
