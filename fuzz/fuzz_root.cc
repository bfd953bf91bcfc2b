#include "fuzz/fuzz_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fuzz {

namespace {

constexpr char kCanary[] = "outside every share\n";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

bool Report(const std::string& what) {
  std::fprintf(stderr, "fuzz root: %s: %s\n", what.c_str(), strerror(errno));
  return false;
}

bool Dir(const std::string& path, mode_t mode, uid_t uid = 0, gid_t gid = 0) {
  if (mkdir(path.c_str(), mode) != 0) return Report("mkdir " + path);
  // mkdir honours the umask; the modes here are the layout's own.
  if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), uid, gid) != 0) {
    return Report("chmod/chown " + path);
  }
  return true;
}

bool File(const std::string& path, const std::string& content, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Report("create " + path);
  const bool ok =
      write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
      fchmod(fd, mode) == 0;
  close(fd);
  return ok || Report("write " + path);
}

std::string PasswdLine(const std::string& root, const char* name, int uid) {
  return std::string(name) + ":x:" + std::to_string(uid) + ":100:" + name + ":" + root +
         "/volume1/homes/" + name + ":/bin/sh\n";
}

}  // namespace

bool LayOutRoot(const std::string& root) {
  struct stat st;
  if (lstat(root.c_str(), &st) == 0) nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);

  struct Directory {
    const char* path;
    mode_t mode;
  };
  // Parents first. public is open to everybody, locked only to root.
  const Directory dirs[] = {
      {"", 0755},
      {"/etc", 0755},
      {"/etc/kivo", 0755},
      {"/usr", 0755},
      {"/usr/kivo", 0755},
      {"/usr/kivo/etc", 0755},
      {"/usr/kivo/etc.defaults", 0755},
      {"/var", 0755},
      {"/var/lib", 0755},
      {"/var/lib/kivo", 0755},
      {"/var/log", 0755},
      {"/var/log/kivo", 0755},
      {"/volume1", 0755},
      {"/volume1/homes", 0755},
      {"/volume1/public", 0777},
      {"/volume1/locked", 0755},
      {"/volume1/public/team", 0777},
      {"/volume1/public/team/Team", 0777},
      {"/volume1/public/team/Team/.DAV", 0777},
      {"/outside", 0755},
  };
  for (const Directory& dir : dirs) {
    if (!Dir(root + dir.path, dir.mode)) return false;
  }
  struct Home {
    const char* name;
    int uid;
  };
  const Home homes[] = {{"admin", 1024}, {"bob", 1025}, {"carol", 1026}};
  for (const Home& home : homes) {
    if (!Dir(root + "/volume1/homes/" + home.name, 0755, home.uid, 100)) return false;
  }

  std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
  std::string shadow = "root:*:0:0:99999:7:::\n";
  for (const Home& home : homes) {
    passwd += PasswdLine(root, home.name, home.uid);
    shadow += std::string(home.name) + ":!:0:0:99999:7:::\n";
  }
  const std::string shares = "{\"homes\": \"" + root + "/volume1/homes\", \"public\": \"" + root +
                             "/volume1/public\", \"locked\": \"" + root +
                             "/volume1/locked\", \"gone\": \"" + root + "/volume1/gone\"}\n";
  const std::string registry =
      "[{\"calendarname\": \"Old\", \"destination\": \"bob/cal\", \"share\": \"homes\"},\n"
      " {\"calendarname\": \"Team\", \"destination\": \"public/team\", \"share\": \"public\"}]\n";
  struct Content {
    const char* path;
    std::string text;
    mode_t mode;
  };
  const Content files[] = {
      {"/etc/kivoinfo.conf", "runCalDav=\"no\"\n", 0644},
      {"/etc/passwd", passwd, 0644},
      {"/etc/group", "root:x:0:\nusers:x:100:\nadministrators:x:101:admin\n", 0644},
      {"/etc/shadow", shadow, 0600},
      {"/etc/kivo/shares.json", shares, 0644},
      {"/etc/kivo/ports.json", "{\"webapi\": [5000], \"mdns\": [5353]}\n", 0644},
      {"/var/lib/kivo/services.json", "{}\n", 0644},
      {"/usr/kivo/etc.defaults/.state_for_dir.pag", "KIVO-DAV-STATE 1\n", 0644},
      {"/usr/kivo/etc/calendar.info", registry, 0644},
      {"/volume1/public/team/Team/.DAV/.state_for_dir.pag", "KIVO-DAV-STATE 1\n", 0644},
      {"/volume1/public/team/Team/.DAV/.state_for_dir.dir", "", 0777},
      {"/outside/canary", kCanary, 0644},
  };
  for (const Content& f : files) {
    if (!File(root + f.path, f.text, f.mode)) return false;
  }
  if (symlink((root + "/outside").c_str(), (root + "/volume1/public/escape").c_str()) != 0 ||
      symlink((root + "/outside").c_str(), (root + "/volume1/homes/bob/escape").c_str()) != 0) {
    return Report("symlink");
  }
  return true;
}

bool OutsideIntact(const std::string& root) {
  char buffer[sizeof kCanary];
  const int fd = open((root + "/outside/canary").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  return n == static_cast<ssize_t>(sizeof kCanary - 1) && memcmp(buffer, kCanary, n) == 0;
}

}  // namespace fuzz
