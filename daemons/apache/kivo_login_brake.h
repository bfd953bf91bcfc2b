/* The login brake every door shares: the web API (kivo-webapi), WebDAV
 * (mod_kivo_dav) and CalDAV (whose logins mod_kivo_dav checks in front of
 * the CalDAV daemon). One state, whichever door a guess came through.
 *
 * Three brakes, each with free failures and then a doubling wait: one per
 * account (every network together), one per client network (an IPv4 /24,
 * an IPv6 /64: a guesser's many accounts), one per pair of them. A try is
 * charged as a failure when it is let through, before the password is
 * hashed, so that a thousand concurrent guesses let through no more than
 * the free ones; a success gives the charge back. A network that logged in
 * to an account before is trusted for it: only its own pair's brake holds
 * it, so guesses from elsewhere never lock the owner out. Past a brake a
 * caller refuses (429) without hashing.
 *
 * The state is one file of root's (0600), mapped shared by every process
 * that opened it: kivo-webapi, and Apache's parent before it forks (its
 * children keep the mapping after they switch identity). Every key is a
 * keyed hash (HMAC-SHA256 under a secret in the file): no name or address
 * is stored. A robust process-shared mutex serialises the operations, so
 * a process that dies holding it stops nobody.
 *
 * Threading: every call is safe from any thread of any process. */

#ifndef KIVO_LOGIN_BRAKE_H_
#define KIVO_LOGIN_BRAKE_H_

#include <stddef.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KB_KEY_BYTES 32

/* Where the state lies, below the root: on disk, so that the networks an
 * account logged in from stay trusted across a restart, and in no folder
 * a daemon's runtime management removes while another holds it open. */
#define KB_STATE_PATH "/var/lib/kivo/login-brake"

typedef struct kb_brake kb_brake;

/* The three keys of one login. */
typedef struct {
  unsigned char account[KB_KEY_BYTES], network[KB_KEY_BYTES], pair[KB_KEY_BYTES];
  int trusted; /* kb_take found the network trusted for the account */
} kb_login;

/* Opens (making it when missing or of another layout) the state at `path`
 * and maps it; NULL with errno set when it cannot. Root only. */
kb_brake* kb_open(const char* path);
void kb_close(kb_brake* b);

/* The network of the textual client address `address`: "4:a.b.c" for an
 * IPv4 address (also one mapped into IPv6), "6:" and the first 8 bytes in
 * hex for any other IPv6 address, the address itself otherwise. */
void kb_network_of(const char* address, char* out, size_t size);

/* The keys of a login for `account` from the client `address`. */
void kb_login_keys(const kb_brake* b, const char* account, const char* address, kb_login* out);

/* 0 when the login may be checked now (its try is charged), else the
 * seconds it must wait: refuse it without hashing. */
long kb_take(kb_brake* b, kb_login* login, time_t now);

/* The outcome of a try kb_take let through: KB_FAILED keeps its charge,
 * KB_SUCCEEDED gives it back and trusts the network for the account,
 * KB_UNCHECKED (the checks were too busy) gives it back. */
enum { KB_FAILED = 0, KB_SUCCEEDED = 1, KB_UNCHECKED = 2 };
void kb_record(kb_brake* b, const kb_login* login, int outcome, time_t now);

/* Whether the client `address`'s network is refused so often by the
 * brakes (16 tries within a minute) while none of its logins ever
 * succeeded that a door should turn its connections away before spending
 * anything on them (the WebDAV daemon: before it forks). */
int kb_network_shed(kb_brake* b, const char* address, time_t now);

/* What a password hash has taken lately (ns; 0 before the first), so that
 * a refusal of an unknown name takes as long without hashing. */
long kb_hash_ns(kb_brake* b);
void kb_note_hash(kb_brake* b, long ns);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_LOGIN_BRAKE_H_ */
