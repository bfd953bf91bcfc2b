#include "kivo_dav_shared.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <signal.h>
#include <sys/random.h>
#include <errno.h>

/* Open addressing over a fixed window: a full window drops its oldest
 * entry, so an attacker's made-up names cost old entries, never memory. */
#define KD_LOGINS 1024
#define KD_WINDOW 16
#define KD_CONNECTIONS 1024
/* Pending connections a network holds beyond which, at the total bound, its
 * newcomers are refused rather than make others give way. */
#define KD_FAIR_SHARE 4

typedef struct {
  unsigned char login[KD_KEY_BYTES], stamp[KD_KEY_BYTES];
  time_t at;
} kd_login;

/* A connection that has not logged in yet: its client's address and
 * network, by whom it is served (the process and its socket) and under
 * which serial, so that it is given back once, or found dead. */
typedef struct {
  unsigned char address[KD_KEY_BYTES];
  unsigned char network[KD_KEY_BYTES];
  time_t since; /* when it was accepted */
  pid_t pid;
  int fd; /* its socket in that process; -1: unknown */
  unsigned long serial;
} kd_connection;

struct kd_shared {
  volatile int lock;
  unsigned long serial;
  kd_connection connections[KD_CONNECTIONS];
  unsigned char secret[32];
  kd_login logins[KD_LOGINS];
};

static void kd_lock(kd_shared* s) {
  while (__atomic_test_and_set(&s->lock, __ATOMIC_ACQUIRE)) sched_yield();
}

static void kd_unlock(kd_shared* s) { __atomic_clear(&s->lock, __ATOMIC_RELEASE); }

static size_t kd_slot(const unsigned char key[KD_KEY_BYTES], size_t slots) {
  size_t h;
  memcpy(&h, key, sizeof h);
  return h % slots;
}

kd_shared* kd_shared_create(void) {
  void* map =
      mmap(NULL, sizeof(kd_shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return NULL;
  kd_shared* s = map;
  if (getrandom(s->secret, sizeof s->secret, 0) != (ssize_t)sizeof s->secret) {
    munmap(map, sizeof(kd_shared));
    return NULL;
  }
  return s;
}

/* SHA-256 fetched once per process: HMAC() fetches its digest and MAC
 * anew at every call, which cost more than the hashing itself on every
 * request of a kept connection. */
static EVP_MD* kd_sha256;
static pthread_once_t kd_sha256_once = PTHREAD_ONCE_INIT;
static void kd_fetch_sha256(void) { kd_sha256 = EVP_MD_fetch(NULL, "SHA256", NULL); }

/* HMAC-SHA256 (RFC 2104) over the pieces, the key padded to a block. */
static int kd_hmac(const unsigned char* key, size_t key_len, const void* a, size_t a_len,
                   const void* b, size_t b_len, unsigned char out[KD_KEY_BYTES]) {
  enum { BLOCK = 64 };
  unsigned char ipad[BLOCK], opad[BLOCK], inner[KD_KEY_BYTES];
  unsigned int len = 0;
  pthread_once(&kd_sha256_once, kd_fetch_sha256);
  if (kd_sha256 == NULL || key_len > BLOCK) return 0;
  memset(ipad, 0x36, sizeof ipad);
  memset(opad, 0x5c, sizeof opad);
  for (size_t i = 0; i < key_len; ++i) {
    ipad[i] ^= key[i];
    opad[i] ^= key[i];
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const int ok = ctx != NULL && EVP_DigestInit_ex2(ctx, kd_sha256, NULL) &&
                 EVP_DigestUpdate(ctx, ipad, sizeof ipad) && EVP_DigestUpdate(ctx, a, a_len) &&
                 EVP_DigestUpdate(ctx, b, b_len) && EVP_DigestFinal_ex(ctx, inner, &len) &&
                 len == KD_KEY_BYTES && EVP_DigestInit_ex2(ctx, kd_sha256, NULL) &&
                 EVP_DigestUpdate(ctx, opad, sizeof opad) &&
                 EVP_DigestUpdate(ctx, inner, sizeof inner) && EVP_DigestFinal_ex(ctx, out, &len) &&
                 len == KD_KEY_BYTES;
  EVP_MD_CTX_free(ctx);
  OPENSSL_cleanse(ipad, sizeof ipad);
  OPENSSL_cleanse(opad, sizeof opad);
  return ok;
}

void kd_key(const kd_shared* s, const char* a, const char* b, size_t b_len,
            unsigned char out[KD_KEY_BYTES]) {
  /* `a` with its zero byte: the boundary between the two pieces. */
  if (!kd_hmac(s->secret, sizeof s->secret, a, strlen(a) + 1, b, b_len, out)) {
    /* A key that matches nothing: no table entry is all ones by chance. */
    memset(out, 0xff, KD_KEY_BYTES);
  }
}

static int kd_same(const unsigned char* a, const unsigned char* b) {
  return CRYPTO_memcmp(a, b, KD_KEY_BYTES) == 0;
}

int kd_login_known(kd_shared* s, const unsigned char login[KD_KEY_BYTES],
                   const unsigned char stamp[KD_KEY_BYTES], time_t now, time_t max_age) {
  int known = 0;
  const size_t first = kd_slot(login, KD_LOGINS);
  kd_lock(s);
  for (size_t i = 0; i < KD_WINDOW && !known; ++i) {
    const kd_login* e = &s->logins[(first + i) % KD_LOGINS];
    known = kd_same(e->login, login) && kd_same(e->stamp, stamp) && e->at <= now &&
            now - e->at < max_age;
  }
  kd_unlock(s);
  return known;
}

void kd_login_remember(kd_shared* s, const unsigned char login[KD_KEY_BYTES],
                       const unsigned char stamp[KD_KEY_BYTES], time_t now) {
  const size_t first = kd_slot(login, KD_LOGINS);
  kd_lock(s);
  kd_login* target = &s->logins[first];
  for (size_t i = 0; i < KD_WINDOW; ++i) {
    kd_login* e = &s->logins[(first + i) % KD_LOGINS];
    if (kd_same(e->login, login)) {
      target = e;
      break;
    }
    if (e->at < target->at) target = e;
  }
  memcpy(target->login, login, KD_KEY_BYTES);
  memcpy(target->stamp, stamp, KD_KEY_BYTES);
  target->at = now;
  kd_unlock(s);
}

int kd_connection_take(kd_shared* s, const unsigned char address[KD_KEY_BYTES],
                       const unsigned char network[KD_KEY_BYTES], const kd_limits* limits,
                       time_t now, kd_ticket* ticket) {
  /* [0] from the address, [1] from the network. */
  int pending[2] = {0, 0}, slow[2] = {0, 0}, free_slot = -1, total = 0, oldest = -1;
  ticket->slot = -1;
  /* This process is alive: only the others' entries are asked about, and
   * no system call per entry is made under the lock for its own. */
  const pid_t self = getpid();
  kd_lock(s);
  for (int i = 0; i < KD_CONNECTIONS; ++i) {
    kd_connection* e = &s->connections[i];
    if (e->serial != 0 && e->pid != self && kill(e->pid, 0) != 0 && errno == ESRCH) {
      e->serial = 0;
    }
    if (e->serial == 0) {
      if (free_slot < 0) free_slot = i;
      continue;
    }
    ++total;
    if (e->pid == self && e->fd >= 0 && (oldest < 0 || e->serial < s->connections[oldest].serial)) {
      oldest = i;
    }
    const int old = now - e->since >= KD_SLOW_SECONDS;
    if (kd_same(e->address, address)) {
      ++pending[0];
      slow[0] += old;
    }
    if (kd_same(e->network, network)) {
      ++pending[1];
      slow[1] += old;
    }
  }
  int allowed = slow[0] < limits->per_address && slow[1] < limits->per_network &&
                pending[0] < KD_BURST * limits->per_address &&
                pending[1] < KD_BURST * limits->per_network;
  /* At the total bound a newcomer from a network that holds a few pending
   * connections already is refused; one from another network makes the
   * oldest pending connection of this process, most likely a slow one,
   * give way: its socket is shut, which frees the thread reading from it
   * (its ticket, given back before its socket closes, still names it). */
  if (allowed && limits->total > 0 && total >= limits->total) {
    if (pending[1] >= KD_FAIR_SHARE || oldest < 0) {
      allowed = 0;
    } else {
      shutdown(s->connections[oldest].fd, SHUT_RDWR);
      s->connections[oldest].serial = 0;
      free_slot = oldest;
    }
  }
  /* A full table (a thousand connections at once) is not counted. */
  if (allowed && free_slot >= 0) {
    kd_connection* e = &s->connections[free_slot];
    memcpy(e->address, address, KD_KEY_BYTES);
    memcpy(e->network, network, KD_KEY_BYTES);
    e->since = now;
    e->pid = self;
    e->fd = -1;
    e->serial = ++s->serial;
    ticket->slot = free_slot;
    ticket->serial = e->serial;
  }
  kd_unlock(s);
  return allowed;
}

void kd_connection_served_here(kd_shared* s, const kd_ticket* ticket, int fd) {
  if (ticket->slot < 0) return;
  kd_lock(s);
  kd_connection* e = &s->connections[ticket->slot];
  if (e->serial == ticket->serial) {
    e->pid = getpid();
    e->fd = fd;
  }
  kd_unlock(s);
}

void kd_connection_give(kd_shared* s, kd_ticket* ticket) {
  if (ticket->slot < 0) return;
  kd_lock(s);
  kd_connection* e = &s->connections[ticket->slot];
  if (e->serial == ticket->serial) e->serial = 0;
  kd_unlock(s);
  ticket->slot = -1;
}
