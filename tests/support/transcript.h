// One timeline for a test run: the program's standard output and the test
// doubles' records, appended to the file named by $TEST_TRANSCRIPT.
#ifndef TESTS_TRANSCRIPT_H
#define TESTS_TRANSCRIPT_H

// Appends one formatted line with a single write, so lines from several
// processes and threads never interleave within a line.
void write_transcript(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
