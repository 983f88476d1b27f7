/* The floor of a lookup run: the existence tests of a list of candidate
 * paths, one per line of the file named by the argument, and nothing else.
 * The list is read whole before the first test. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    FILE *in = fopen(argv[1], "rb");
    if (in == NULL)
        return 2;
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    rewind(in);
    char *text = malloc((size_t)size + 1);
    if (text == NULL || fread(text, 1, (size_t)size, in) != (size_t)size)
        return 2;
    fclose(in);
    text[size] = '\0';
    int found = 0;
    for (char *line = text; *line != '\0';) {
        char *end = strchr(line, '\n');
        if (end != NULL)
            *end = '\0';
        found += access(line, F_OK) == 0;
        if (end == NULL)
            break;
        line = end + 1;
    }
    free(text);
    return found >= 0 ? 0 : 1;
}
