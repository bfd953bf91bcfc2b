#include "kivo_login_brake.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#define KB_MAGIC 0x6b627231u /* "kbr1": a change of layout changes it */

/* Free failures, then 1 s doubling up to a minute; forgotten after 15
 * quiet minutes. An account's and a pair's as WebDAV's were; a network's
 * leaves room for an office's typing mistakes across its accounts. */
#define KB_ACCOUNT_FREE 5
#define KB_NETWORK_FREE 20
#define KB_PAIR_FREE 3
#define KB_FIRST_DELAY 1
#define KB_MAX_DELAY 60
#define KB_FORGET 900
/* A network whose tries were refused this often within a minute, and
 * that never logged in to any account, is turned away at connection. */
#define KB_SHED_REFUSALS 16
#define KB_SHED_SECONDS 60
/* A network stays trusted for an account this long after its last login. */
#define KB_TRUST_SECONDS (90L * 24 * 3600)

/* Open addressing over a fixed window; a full window gives up its oldest
 * entry, so made-up names and addresses cost old entries, never memory.
 * Trust is given up only to a newer successful login. */
#define KB_ACCOUNTS 4096
#define KB_NETWORKS 4096
#define KB_PAIRS 8192
#define KB_TRUSTS 8192
#define KB_WINDOW 16

typedef struct {
  unsigned char key[KB_KEY_BYTES];
  unsigned failures;
  time_t last, next_try;
  /* A network's: tries refused by a brake in the minute from
   * refused_since, and when one of its logins last succeeded. */
  unsigned refused;
  time_t refused_since, succeeded;
} kb_entry;

typedef struct {
  unsigned char key[KB_KEY_BYTES];
  time_t at;
} kb_trust;

typedef struct {
  uint32_t magic;
  uint32_t size;
  pthread_mutex_t mu;
  unsigned char secret[32];
  long hash_ns;
  kb_entry accounts[KB_ACCOUNTS], networks[KB_NETWORKS], pairs[KB_PAIRS];
  kb_trust trusts[KB_TRUSTS];
} kb_state;

struct kb_brake {
  kb_state* state;
};

static int kb_lock(kb_state* s) {
  const int rc = pthread_mutex_lock(&s->mu);
  if (rc == EOWNERDEAD) return pthread_mutex_consistent(&s->mu);
  return rc;
}

static void kb_unlock(kb_state* s) { pthread_mutex_unlock(&s->mu); }

/* A fresh state in the locked, empty file `fd` of the right size. */
static int kb_init(kb_state* s) {
  memset(s, 0, sizeof *s);
  pthread_mutexattr_t attr;
  if (getrandom(s->secret, sizeof s->secret, 0) != (ssize_t)sizeof s->secret ||
      pthread_mutexattr_init(&attr) != 0) {
    return -1;
  }
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int rc = pthread_mutex_init(&s->mu, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return -1;
  s->size = sizeof *s;
  __atomic_store_n(&s->magic, KB_MAGIC, __ATOMIC_RELEASE);
  return 0;
}

kb_brake* kb_open(const char* path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return NULL;
  struct stat st;
  kb_brake* b = NULL;
  void* map = MAP_FAILED;
  int error = 0;
  /* The first opener lays the state out; the others wait on the flock. */
  if (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    error = EPERM; /* not ours alone: never trusted */
  } else if ((size_t)st.st_size != sizeof(kb_state) &&
             (ftruncate(fd, 0) != 0 || ftruncate(fd, sizeof(kb_state)) != 0)) {
    error = errno;
  } else if ((map = mmap(NULL, sizeof(kb_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
             MAP_FAILED) {
    error = errno;
  } else {
    kb_state* s = map;
    if ((s->magic != KB_MAGIC || s->size != sizeof *s) && kb_init(s) != 0) {
      error = errno != 0 ? errno : EIO;
    } else if ((b = calloc(1, sizeof *b)) == NULL) {
      error = ENOMEM;
    } else {
      b->state = s;
    }
  }
  if (b == NULL && map != MAP_FAILED) munmap(map, sizeof(kb_state));
  /* Unlocked by hand: the mapping holds the open file, and its flock with
   * it, for as long as it lasts. */
  flock(fd, LOCK_UN);
  close(fd);
  errno = error;
  return b;
}

void kb_close(kb_brake* b) {
  if (b == NULL) return;
  munmap(b->state, sizeof(kb_state));
  free(b);
}

void kb_network_of(const char* address, char* out, size_t size) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address, bytes) == 1) {
    snprintf(out, size, "4:%u.%u.%u", bytes[0], bytes[1], bytes[2]);
  } else if (inet_pton(AF_INET6, address, bytes) == 1) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(bytes, mapped, sizeof mapped) == 0) {
      snprintf(out, size, "4:%u.%u.%u", bytes[12], bytes[13], bytes[14]);
    } else {
      snprintf(out, size, "6:%02x%02x%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2],
               bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    }
  } else {
    snprintf(out, size, "%s", address);
  }
}

static void kb_key(const kb_state* s, const char* kind, const char* a, const char* b,
                   unsigned char out[KB_KEY_BYTES]) {
  /* Zero bytes between the parts: no two inputs give one text. */
  const size_t kl = strlen(kind) + 1, al = strlen(a) + 1, bl = strlen(b);
  unsigned char* text = malloc(kl + al + bl + 1);
  unsigned int len = KB_KEY_BYTES;
  if (text != NULL) {
    memcpy(text, kind, kl);
    memcpy(text + kl, a, al);
    memcpy(text + kl + al, b, bl);
  }
  if (text == NULL ||
      HMAC(EVP_sha256(), s->secret, sizeof s->secret, text, kl + al + bl, out, &len) == NULL) {
    memset(out, 0xff, KB_KEY_BYTES);
  }
  free(text);
}

void kb_login_keys(const kb_brake* b, const char* account, const char* address, kb_login* out) {
  char network[64];
  kb_network_of(address, network, sizeof network);
  kb_key(b->state, "account", account, "", out->account);
  kb_key(b->state, "network", network, "", out->network);
  kb_key(b->state, "pair", account, network, out->pair);
  out->trusted = 0;
}

static int kb_same(const unsigned char* a, const unsigned char* b) {
  return CRYPTO_memcmp(a, b, KB_KEY_BYTES) == 0;
}

static size_t kb_slot(const unsigned char key[KB_KEY_BYTES], size_t slots) {
  size_t h;
  memcpy(&h, key, sizeof h);
  return h % slots;
}

/* The key's entry; with `make`, a new one in place of the window's oldest
 * when there is none. Called locked. */
static kb_entry* kb_find(kb_entry* table, size_t slots, const unsigned char key[KB_KEY_BYTES],
                         int make) {
  const size_t first = kb_slot(key, slots);
  kb_entry* oldest = &table[first];
  for (size_t i = 0; i < KB_WINDOW; ++i) {
    kb_entry* e = &table[(first + i) % slots];
    if (kb_same(e->key, key)) return e;
    if (e->last < oldest->last) oldest = e;
  }
  if (!make) return NULL;
  memset(oldest, 0, sizeof *oldest);
  memcpy(oldest->key, key, KB_KEY_BYTES);
  return oldest;
}

static long kb_wait(const kb_entry* e, time_t now) {
  return e != NULL && now < e->next_try ? (long)(e->next_try - now) : 0;
}

/* Charges a try as a failure. */
static void kb_charge(kb_entry* e, unsigned free_failures, time_t now) {
  if (now - e->last > KB_FORGET) e->failures = 0;
  e->last = now;
  if (++e->failures <= free_failures) return;
  time_t delay = KB_FIRST_DELAY;
  for (unsigned i = free_failures + 1; i < e->failures && delay < KB_MAX_DELAY; ++i) delay *= 2;
  e->next_try = now + (delay < KB_MAX_DELAY ? delay : KB_MAX_DELAY);
}

static void kb_refund(kb_entry* e) {
  if (e != NULL && e->failures > 0) --e->failures;
}

static kb_trust* kb_find_trust(kb_state* s, const unsigned char key[KB_KEY_BYTES], int make) {
  const size_t first = kb_slot(key, KB_TRUSTS);
  kb_trust* oldest = &s->trusts[first];
  for (size_t i = 0; i < KB_WINDOW; ++i) {
    kb_trust* t = &s->trusts[(first + i) % KB_TRUSTS];
    if (kb_same(t->key, key)) return t;
    if (t->at < oldest->at) oldest = t;
  }
  if (!make) return NULL;
  memcpy(oldest->key, key, KB_KEY_BYTES);
  return oldest;
}

long kb_take(kb_brake* b, kb_login* login, time_t now) {
  kb_state* s = b->state;
  if (kb_lock(s) != 0) return KB_FIRST_DELAY;
  const kb_trust* trust = kb_find_trust(s, login->pair, 0);
  login->trusted = trust != NULL && now - trust->at < KB_TRUST_SECONDS;
  kb_entry* pair = kb_find(s->pairs, KB_PAIRS, login->pair, 1);
  long wait = kb_wait(pair, now);
  if (login->trusted) {
    if (wait == 0) kb_charge(pair, KB_PAIR_FREE, now);
    kb_unlock(s);
    return wait;
  }
  kb_entry* account = kb_find(s->accounts, KB_ACCOUNTS, login->account, 1);
  kb_entry* network = kb_find(s->networks, KB_NETWORKS, login->network, 1);
  const long a = kb_wait(account, now), n = kb_wait(network, now);
  if (a > wait) wait = a;
  if (n > wait) wait = n;
  if (wait == 0) {
    kb_charge(account, KB_ACCOUNT_FREE, now);
    kb_charge(network, KB_NETWORK_FREE, now);
    kb_charge(pair, KB_PAIR_FREE, now);
  } else {
    if (now - network->refused_since >= KB_SHED_SECONDS) {
      network->refused = 0;
      network->refused_since = now;
    }
    ++network->refused;
    network->last = now;
  }
  kb_unlock(s);
  return wait;
}

int kb_network_shed(kb_brake* b, const char* address, time_t now) {
  kb_login login;
  kb_login_keys(b, "", address, &login);
  kb_state* s = b->state;
  if (kb_lock(s) != 0) return 0;
  const kb_entry* network = kb_find(s->networks, KB_NETWORKS, login.network, 0);
  const int shed = network != NULL && network->succeeded == 0 &&
                   network->refused >= KB_SHED_REFUSALS &&
                   now - network->refused_since < KB_SHED_SECONDS;
  kb_unlock(s);
  return shed;
}

void kb_record(kb_brake* b, const kb_login* login, int outcome, time_t now) {
  if (outcome == KB_FAILED) return; /* charged already */
  kb_state* s = b->state;
  if (kb_lock(s) != 0) return;
  /* Trusted now, its try was charged to the pair alone (kb_take). */
  const kb_trust* trust = kb_find_trust(s, login->pair, 0);
  const int trusted = trust != NULL && now - trust->at < KB_TRUST_SECONDS;
  kb_entry* pair = kb_find(s->pairs, KB_PAIRS, login->pair, 0);
  if (outcome == KB_SUCCEEDED) {
    if (pair != NULL) memset(pair, 0, sizeof *pair);
    kb_find_trust(s, login->pair, 1)->at = now;
    kb_entry* network = kb_find(s->networks, KB_NETWORKS, login->network, 1);
    network->succeeded = now;
    if (network->last == 0) network->last = now;
  } else {
    kb_refund(pair);
  }
  if (!trusted) {
    kb_refund(kb_find(s->accounts, KB_ACCOUNTS, login->account, 0));
    kb_refund(kb_find(s->networks, KB_NETWORKS, login->network, 0));
  }
  kb_unlock(s);
}

long kb_hash_ns(kb_brake* b) { return __atomic_load_n(&b->state->hash_ns, __ATOMIC_RELAXED); }

void kb_note_hash(kb_brake* b, long ns) {
  const long old = __atomic_load_n(&b->state->hash_ns, __ATOMIC_RELAXED);
  __atomic_store_n(&b->state->hash_ns, old == 0 ? ns : old + (ns - old) / 8, __ATOMIC_RELAXED);
}
