// Linux: the ports sysfs lists (as korvane ports does), and who holds a port or may open it, from /proc and the groups.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "doctor_platform.h"
#include "platform/errors.h"
#include "port_listing.h"

namespace korvane::tools {

namespace {

std::string CanonicalPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// Every other process with `path` open, from /proc/*/fd; processes of other users stay unseen
// unless we run as root.
std::vector<Holder> ProcessesHolding(const std::string& path) {
  std::vector<Holder> holders;
  const std::string target = CanonicalPath(path);
  if (target.empty()) return holders;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return holders;
  const long self = static_cast<long>(::getpid());
  while (dirent* e = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (*end != 0 || pid <= 0 || pid == self) continue;
    const std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (fds == nullptr) continue;
    bool holds = false;
    while (dirent* f = ::readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      char link[PATH_MAX];
      const ssize_t n = ::readlink((fd_dir + "/" + f->d_name).c_str(), link, sizeof link - 1);
      if (n > 0 && std::string(link, static_cast<size_t>(n)) == target) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (!holds) continue;
    Holder h{pid, {}};
    if (FILE* comm = std::fopen((std::string("/proc/") + e->d_name + "/comm").c_str(), "r")) {
      char name[64] = {};
      if (std::fgets(name, sizeof name, comm) != nullptr) h.name = name;
      std::fclose(comm);
      while (!h.name.empty() && h.name.back() == '\n') h.name.pop_back();
    }
    holders.push_back(h);
  }
  ::closedir(proc);
  std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return holders;
}

std::string HoldersText(const std::vector<Holder>& holders) {
  std::string s;
  for (const Holder& h : holders) s += (s.empty() ? "" : ", ") + std::to_string(h.pid) + " (" + h.name + ")";
  return s;
}

// Programs known to open serial devices they do not own, and how to keep them away.
std::string KnownHolderAdvice(const std::vector<Holder>& holders) {
  for (const Holder& h : holders) {
    if (h.name == "ModemManager") {
      return "; ModemManager probes new USB serial devices as modems: stop it (sudo systemctl stop ModemManager) "
             "or give the device ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule";
    }
  }
  return {};
}

bool InGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))));
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(0, n), gid) != groups.begin() + std::max(0, n);
}

// The group that may read and write `path`, and what the user has to do to get in. The reentrant
// lookups, since ports are checked on threads of their own.
void DescribePermission(const std::string& path, PortReport& r) {
  constexpr size_t kLookupBufferSize = 64 * 1024;
  struct stat st {};
  r.message = "no permission to open " + path;
  if (::stat(path.c_str(), &st) != 0) return;
  std::vector<char> group_buffer(kLookupBufferSize);
  group g{};
  group* found = nullptr;
  ::getgrgid_r(st.st_gid, &g, group_buffer.data(), group_buffer.size(), &found);
  const bool group_may = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (found == nullptr || st.st_gid == 0 || !group_may) {
    r.message += ": only its owner may; ask the administrator for a udev rule that gives it a group";
    return;
  }
  r.group = g.gr_name;
  if (InGroup(st.st_gid)) {
    r.message += ": it belongs to group " + r.group + ", which this session is in, yet the open was refused";
    return;
  }
  // Membership given to the account counts only from the next login.
  bool member = false;
  std::vector<char> user_buffer(kLookupBufferSize);
  passwd pw{};
  passwd* user = nullptr;
  if (::getpwuid_r(::getuid(), &pw, user_buffer.data(), user_buffer.size(), &user) == 0 && user != nullptr) {
    for (char** m = g.gr_mem; m != nullptr && *m != nullptr && !member; ++m) member = std::string(*m) == pw.pw_name;
  }
  r.message += ": it belongs to group " + r.group +
               (member ? "; your account is in it since this session began: log out and in again"
                       : "; join it with 'sudo usermod -aG " + r.group + " $USER', then log out and in again");
}

}  // namespace

std::vector<std::string> DoctorListedPorts() { return LocalPortNames(); }

bool DiagnoseRefusedOpen(const std::string& device, uint32_t err, PortReport& r) {
  if (err == kErrAccessDenied) {
    r.status = "busy";
    r.holders = ProcessesHolding(device);
    r.message = device + " is in use by another program";
    if (!r.holders.empty()) {
      r.message += ": " + HoldersText(r.holders) + "; close it (or stop its service) and try again" +
                   KnownHolderAdvice(r.holders);
    } else {
      r.message += " (not one this user can see; run doctor as root to name it)";
    }
    return true;
  }
  if (err == kErrNoPermission) {
    r.status = "denied";
    DescribePermission(device, r);
    return true;
  }
  return false;
}

void NoteOtherHolders(const std::string& device, PortReport& r) {
  r.holders = ProcessesHolding(device);
  if (!r.holders.empty()) r.message += "; also open in " + HoldersText(r.holders) + KnownHolderAdvice(r.holders);
}

}  // namespace korvane::tools
