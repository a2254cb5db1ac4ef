/* Preloaded into Wine for lumo-sim's pseudo-terminal: a pty refuses
 * the modem-line ioctls that Wine issues for WaitCommEvent and
 * EscapeCommFunction. When the real call fails on a pty, answer them as a
 * line with CTS, DSR and CD up would; everything else passes through.
 * With LUMO_MODEM_STATE naming a file, the output lines last set are written
 * there (TIOCM_* bits, in decimal), so that a test sees what the driver drove.
 * 64-bit ntdll.so calls ioctl, 32-bit ntdll.so (time64 glibc) __ioctl_time64. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int is_pty(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned maj = major(st.st_rdev);
  return maj >= 136 && maj <= 143; /* Unix98 pty slaves */
}

static int modem_lines = TIOCM_DTR | TIOCM_RTS;

static void publish(void) {
  const char* path = getenv("LUMO_MODEM_STATE");
  if (!path || !*path) return;
  int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return;
  char text[16];
  int n = snprintf(text, sizeof text, "%d\n", modem_lines);
  if (n > 0 && write(out, text, (size_t)n) != n) n = -1;
  close(out);
}

static int fake_modem(int fd, unsigned long request, void* arg, int* result) {
  if (!is_pty(fd)) return 0;
  int* bits = (int*)arg;
  switch (request) {
    case TIOCMGET:
      if (bits) *bits = modem_lines | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
      break;
    case TIOCMBIS:
      if (bits) modem_lines |= *bits;
      break;
    case TIOCMBIC:
      if (bits) modem_lines &= ~*bits;
      break;
    case TIOCMSET:
      if (bits) modem_lines = *bits;
      break;
    default:
      return 0;
  }
  if (request != TIOCMGET) publish();
  *result = 0;
  return 1;
}

static int forward(const char* name, ioctl_fn* real, int fd, unsigned long request, void* arg) {
  if (!*real) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
  if (!*real) {
    errno = ENOSYS;
    return -1;
  }
  int saved = errno;
  int rc = (*real)(fd, request, arg);
  if (rc == -1) {
    int err = errno;
    int faked;
    if (fake_modem(fd, request, arg, &faked)) {
      errno = saved;
      return faked;
    }
    errno = err;
  }
  return rc;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return forward("ioctl", &real, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return forward("__ioctl_time64", &real, fd, request, arg);
}
