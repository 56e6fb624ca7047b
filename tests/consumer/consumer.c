/* C code built against an installed octafold: decodes the parts of a small
 * multipart body and checks the bytes and the boundary count. As a program
 * it exits 0 when every check holds, 1 otherwise, naming the failed check.
 * With CONSUMER_PLUGIN it is a shared object instead, whose
 * consumer_checks() a separate program calls. */
#include <octafold.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "consumer: check failed: %s\n", what);
    ++failures;
  }
}

/* Everything written to `f` so far, as a NUL-terminated string. */
static size_t contents(FILE *f, char *buf, size_t size) {
  size_t n;
  rewind(f);
  n = fread(buf, 1, size - 1, f);
  buf[n] = '\0';
  return n;
}

#ifdef CONSUMER_PLUGIN
int consumer_checks(void);
int consumer_checks(void) {
#else
int main(void) {
#endif
  static const char body[] =
      "--outer\n"
      "QUJD\nREVG\n" /* base64 of "ABCDEF" */
      "--outer\n"
      "caf=C3=A9 soft=\nline\n" /* quoted-printable */
      "--outer--\n"
      "epilogue\n";
  const char *const boundaries[] = {"--outer"};
  int count = 1;
  char line[64];
  char got[64];
  FILE *in = tmpfile();
  FILE *out64 = tmpfile();
  FILE *outqp = tmpfile();

  if (in == NULL || out64 == NULL || outqp == NULL) {
    perror("consumer: tmpfile");
    return 1;
  }
  fputs(body, in);
  rewind(in);

  /* The preamble is empty: the first line is the opening boundary. */
  check(fgets(line, sizeof line, in) != NULL, "read the first boundary line");
  check(PendingBoundary(line, boundaries, &count) == 1, "first line is a boundary");

  from64(in, out64, boundaries, &count, 0);
  check(contents(out64, got, sizeof got) == 6 && memcmp(got, "ABCDEF", 6) == 0,
        "base64 part decodes to ABCDEF");
  check(count == 1, "a separator leaves the count at 1");

  /* The LF before the closing line belongs to the boundary and is dropped. */
  fromqp(in, outqp, boundaries, &count);
  check(contents(outqp, got, sizeof got) == 14 && strcmp(got, "caf\xC3\xA9 softline") == 0,
        "quoted-printable part decodes to the UTF-8 text");
  check(count == 0, "the closing line lowers the count to 0");

  check(fgets(line, sizeof line, in) != NULL && strcmp(line, "epilogue\n") == 0,
        "the input stands at the epilogue");

  if (failures == 0) puts("consumer: all checks passed");
  return failures == 0 ? 0 : 1;
}
