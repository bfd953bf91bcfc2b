/* What every process of the WebDAV daemon shares: remembered logins and
 * the connections not logged in yet (the brake on password guessing is
 * every door's: kivo_login_brake.h).
 *
 * One anonymous shared mapping, made by the parent (root) before it forks
 * and inherited by every child, whatever identity the child switches to; no
 * file names it, so no account can open it. Every key is a keyed hash
 * (HMAC-SHA256 under a secret drawn at the daemon's start): a table entry
 * never holds a name, an address or a password, and a wrong password can
 * never match a remembered right one.
 *
 * Threading: any thread of any of the daemon's processes; a spin lock in
 * the mapping serialises the few instructions of each table operation. */

#ifndef KIVO_DAV_SHARED_H_
#define KIVO_DAV_SHARED_H_

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#define KD_KEY_BYTES 32

typedef struct kd_shared kd_shared;

/* The mapping, made once per parent process; NULL when it cannot be made. */
kd_shared* kd_shared_create(void);

/* HMAC-SHA256 under the daemon's secret of `a` then a zero byte then `b`. */
void kd_key(const kd_shared* s, const char* a, const char* b, size_t b_len,
            unsigned char out[KD_KEY_BYTES]);

/* Remembered logins: `login` is kd_key(name, password), `stamp` the key of
 * the account's stored hash at the time it was checked. A login counts only
 * while both match and it is younger than `max_age` seconds. */
int kd_login_known(kd_shared* s, const unsigned char login[KD_KEY_BYTES],
                   const unsigned char stamp[KD_KEY_BYTES], time_t now, time_t max_age);
void kd_login_remember(kd_shared* s, const unsigned char login[KD_KEY_BYTES],
                       const unsigned char stamp[KD_KEY_BYTES], time_t now);

/* Connections that have not logged in yet, per client address and per
 * client network (an IPv4 /24, an IPv6 /64): what a flood of slow or
 * guessing clients holds. A connection counts from its accept until a
 * request on it has been read whole and passed the login (or needed none);
 * the connections of users who logged in count no more, however many share
 * one address. A ticket names one connection; it is given back once, by
 * whichever process gives it first, and a connection whose process died
 * counts no more. */
typedef struct {
  int slot;
  unsigned long serial;
} kd_ticket;

/* How many may be slow (still not logged in after KD_SLOW_SECONDS) at once;
 * a burst of fresh ones (an office opening its clients) may be KD_BURST
 * times as many. */
typedef struct {
  int per_address;
  int per_network;
  int total; /* pending at once from everywhere; the oldest gives way */
} kd_limits;

#define KD_SLOW_SECONDS 2
#define KD_BURST 4

/* Takes a place for a connection from `address` and `network` (kd_key of
 * each), accepted at `now`, and returns 1; 0 when it is past the limits. */
int kd_connection_take(kd_shared* s, const unsigned char address[KD_KEY_BYTES],
                       const unsigned char network[KD_KEY_BYTES], const kd_limits* limits,
                       time_t now, kd_ticket* ticket);
/* The calling process serves the connection on its socket `fd`, which the
 * total bound may shut to make the connection give way. */
void kd_connection_served_here(kd_shared* s, const kd_ticket* ticket, int fd);
/* Gives the ticket back (once; later calls do nothing). */
void kd_connection_give(kd_shared* s, kd_ticket* ticket);

#endif /* KIVO_DAV_SHARED_H_ */
