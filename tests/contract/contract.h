// Shared set-up of the contract tests. They state how each API answers and run both on the
// simulated machine and, built for Windows, under Wine. On the sim every test starts from a
// fresh default machine; elsewhere it uses the machine it runs on.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "platform/win32.h"
#ifndef _WIN32
#include "sim/machine.h"
#endif

// Whether the tests run under Wine (whose deviations from Windows the cases name).
inline bool OnWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

inline bool OnSim() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

// A call that must fail, and the error it must leave.
#define EXPECT_FAILS(call, error)            \
  do {                                       \
    SetLastError(0xdeadbeef);                \
    EXPECT_FALSE(call);                      \
    EXPECT_EQ(GetLastError(), DWORD(error)); \
  } while (0)

class Contract : public ::testing::Test {
 protected:
#ifndef _WIN32
  void SetUp() override {
    sim::InitDefaultMachine(machine_);
    scope_ = std::make_unique<sim::MachineScope>(machine_);
  }
  void TearDown() override {
    scope_.reset();
  }
  sim::Machine machine_;
  std::unique_ptr<sim::MachineScope> scope_;
#endif
};
