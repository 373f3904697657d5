// What trovix-filterhost does to itself before it touches a document: a
// parser bug or a hostile file may then waste a bounded amount of one idle
// CPU and memory, and cannot reach the network or leave files behind.
#pragma once

#include <sys/resource.h>

namespace docfilter {

struct HostLimits {
  rlim_t address_space = rlim_t{1} << 30;  // bytes
  rlim_t cpu_seconds = 30;                 // per file: SIGXCPU ends the process
  rlim_t open_files = 16;
};

// Leaves the network (a network namespace of its own when the kernel lets
// an unprivileged process have one; the host never opens sockets anyway),
// applies the memory and file limits of `limits`, forbids core dumps,
// confines file access to reading below /usr, takes the lowest
// CPU and I/O priorities and dies with its parent. Every step is best
// effort: a refused one leaves the others in force.
void EnterSandbox(const HostLimits& limits);

// Lets the next file use `limits.cpu_seconds` of CPU time from now on: the
// limit counts the process's whole life, so it is moved before each file.
// Over it, SIGXCPU ends the process (its default action).
void LimitCpuForNextFile(const HostLimits& limits);

}  // namespace docfilter
