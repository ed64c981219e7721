// SPDX-License-Identifier: Apache-2.0
// The floor of the finch roads: copies a file (argument 1, or standard
// input) to standard output line by line with 1024-byte line reads, writing
// and flushing every line, and does nothing else.
#include <cstdio>

int main(int argc, char* argv[]) {
  FILE* in = argc > 1 ? fopen(argv[1], "rb") : stdin;
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  char line[1024];
  while (fgets(line, sizeof(line), in)) {
    if (fputs(line, stdout) == EOF || fflush(stdout) == EOF) return 1;
  }
  return ferror(in) ? 1 : 0;
}
