// What differs between the two builds of this program, chosen at build time
// with NEXLI_REVISION (103 for nexli, 102 for nexla); never inferred from the
// machine the program is built on or runs on.
#ifndef NEXLI_REVISION_H
#define NEXLI_REVISION_H

#ifndef NEXLI_REVISION
#define NEXLI_REVISION 103
#endif

#if NEXLI_REVISION == 103
// Program name and first help line.
#define NEXLI_PROGRAM_NAME "nexli"
#define NEXLI_BANNER "nexli v1.03 for Linux/x86-64"
// Revision 1.03 reads character codes as signed (-128 to 127).
#define NEXLI_SIGNED_CHAR_CODES 1
// Revision 1.03 keeps the control port non-blocking after opening it.
#define NEXLI_BLOCKING_OPEN 0
#elif NEXLI_REVISION == 102
#define NEXLI_PROGRAM_NAME "nexla"
#define NEXLI_BANNER "nexla v1.02 for Linux/ARM"
// Revision 1.02 reads character codes as unsigned (0 to 255).
#define NEXLI_SIGNED_CHAR_CODES 0
// Revision 1.02 clears the descriptor's status flags after opening (writes
// block) and refuses a descriptor that is not a terminal.
#define NEXLI_BLOCKING_OPEN 1
#else
#error "NEXLI_REVISION must be 103 or 102"
#endif

// The code of a character as this revision reads it.
inline int CharCode(char ch) {
#if NEXLI_SIGNED_CHAR_CODES
  return static_cast<signed char>(ch);
#else
  return static_cast<unsigned char>(ch);
#endif
}

#endif
