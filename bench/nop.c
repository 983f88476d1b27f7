/* The trivial program the start benchmarks run. */
int main(void) {
    return 0;
}
