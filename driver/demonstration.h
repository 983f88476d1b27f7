#ifndef CMDKIT_DRIVER_DEMONSTRATION_H
#define CMDKIT_DRIVER_DEMONSTRATION_H

// Echoes each built-in sample line on standard output and lists the
// pipeline parsed from it; the parser's traces go to standard error.
void run_parser_demonstration();

#endif
