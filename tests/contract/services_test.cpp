// How the service control manager answers for the spooler service.
#include "contract.h"

namespace {

DWORD State(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  return status.dwCurrentState;
}

// Polls until the service reaches a state; virtual time on the sim, real time on Windows.
bool WaitFor(SC_HANDLE service, DWORD state) {
  for (int i = 0; i < 500; ++i) {
    if (State(service) == state) return true;
    Sleep(20);
  }
  return false;
}

class ServiceContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    manager_ = OpenSCManagerW(nullptr, nullptr, 0x000F0001);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    if (manager_) CloseServiceHandle(manager_);
    Contract::TearDown();
  }
  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceContract, UnknownServiceIsRefused) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenServiceW(manager_, W("NoSuchServiceHere"), SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceContract, StopAndStartTheSpooler) {
  SC_HANDLE spooler = OpenServiceW(manager_, W("spooler"), 0x0034);
  ASSERT_NE(spooler, nullptr);
  if (State(spooler) != SERVICE_RUNNING) {
    StartServiceW(spooler, 0, nullptr);
    ASSERT_TRUE(WaitFor(spooler, SERVICE_RUNNING));
  }
  SERVICE_STATUS status = {};
  EXPECT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitFor(spooler, SERVICE_STOPPED));

  // Stopping a stopped service: not active.
  EXPECT_FAILS(ControlService(spooler, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);

  EXPECT_TRUE(StartServiceW(spooler, 0, nullptr));
  ASSERT_TRUE(WaitFor(spooler, SERVICE_RUNNING));
  // Starting a running service: already running.
  EXPECT_FAILS(StartServiceW(spooler, 0, nullptr), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_TRUE(CloseServiceHandle(spooler));
}

TEST_F(ServiceContract, ClosedHandlesAreInvalid) {
  SC_HANDLE spooler = OpenServiceW(manager_, W("Spooler"), SERVICE_QUERY_STATUS);
  ASSERT_NE(spooler, nullptr);
  EXPECT_TRUE(CloseServiceHandle(spooler));
  EXPECT_FAILS(CloseServiceHandle(spooler), ERROR_INVALID_HANDLE);
}

#ifndef _WIN32
TEST_F(ServiceContract, SimRightsAreCheckedPerHandle) {
  SC_HANDLE query = OpenServiceW(manager_, W("spooler"), SERVICE_QUERY_STATUS);
  ASSERT_NE(query, nullptr);
  EXPECT_FAILS(ControlService(query, SERVICE_CONTROL_STOP, nullptr), ERROR_ACCESS_DENIED);
  CloseServiceHandle(query);

  machine_.services.services[0].deniedRights = SERVICE_STOP;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenServiceW(manager_, W("spooler"), 0x0034), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_NE(OpenServiceW(manager_, W("spooler"), 0x0014), nullptr);
}

TEST_F(ServiceContract, SimDisabledSpoolerWillNotStart) {
  auto& s = machine_.services.services[0];
  s.state = SERVICE_STOPPED;
  s.disabled = true;
  SC_HANDLE spooler = OpenServiceW(manager_, W("spooler"), 0x0034);
  EXPECT_FAILS(StartServiceW(spooler, 0, nullptr), ERROR_SERVICE_DISABLED);
  CloseServiceHandle(spooler);
}

TEST_F(ServiceContract, SimStopRefusedWithTheChosenError) {
  machine_.services.services[0].stopRefusal = ERROR_DEPENDENT_SERVICES_RUNNING;
  SC_HANDLE spooler = OpenServiceW(manager_, W("spooler"), 0x0034);
  EXPECT_FAILS(ControlService(spooler, SERVICE_CONTROL_STOP, nullptr),
               ERROR_DEPENDENT_SERVICES_RUNNING);
  EXPECT_EQ(State(spooler), DWORD(SERVICE_RUNNING));
  CloseServiceHandle(spooler);
}

TEST_F(ServiceContract, SimSlowStartIsDrivenByVirtualTime) {
  auto& s = machine_.services.services[0];
  s.state = SERVICE_STOPPED;
  s.startDelayMs = 12000;
  SC_HANDLE spooler = OpenServiceW(manager_, W("spooler"), 0x0034);
  ASSERT_TRUE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(State(spooler), DWORD(SERVICE_START_PENDING));
  Sleep(11999);
  EXPECT_EQ(State(spooler), DWORD(SERVICE_START_PENDING));
  Sleep(1);
  EXPECT_EQ(State(spooler), DWORD(SERVICE_RUNNING));
  CloseServiceHandle(spooler);
}

TEST_F(ServiceContract, SimManagerRightsCanBeRefused) {
  machine_.services.managerDeniedRights = SC_MANAGER_CONNECT;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, 0x000F0001), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}
#endif

}  // namespace
