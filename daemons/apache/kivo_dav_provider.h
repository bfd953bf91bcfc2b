/* The WebDAV provider "kivo" the shares are served by (`Dav kivo`):
 * mod_dav_fs, its repository, property and lock hooks, with three savings
 * that change no answer:
 *   - its lock hooks behind the lock gate (kivo_dav_lock_gate.h);
 *   - a resource's property database is opened for reading only when the
 *     state folder (.DAV) it would lie in exists. mod_dav_fs tries to open
 *     one for every member a PROPFIND lists, and with the Berkeley DB
 *     format each try makes a handle (reading the CPU count from /sys) and
 *     stats the file before it learns there is none: four system calls a
 *     member out of eight. One lstat of the state folder answers for every
 *     member of a folder within one request;
 *   - a PUT's body reaches its file in blocks of 64 KiB: mod_dav hands the
 *     stream 2 KiB at a time, and mod_dav_fs writes each as it comes (512
 *     write calls a MiB). A PUT's resources carry our repository hooks for
 *     that; every other request's keep mod_dav_fs's.
 * Threading: the hooks run on the thread serving the request, as the
 * request's identity (mod_kivo_dav.c); the tables are filled before the
 * daemon serves and only read afterwards. */

#ifndef KIVO_DAV_PROVIDER_H_
#define KIVO_DAV_PROVIDER_H_

#include "apr_pools.h"

#define KD_PROVIDER "kivo"

/* Registers the provider; from the module's register_hooks. */
void kd_provider_register(apr_pool_t* p);

#endif /* KIVO_DAV_PROVIDER_H_ */
