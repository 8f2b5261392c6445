// The service control manager and its services, driven by the virtual clock.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/text.h"

namespace sim {

struct SimService {
  U16 name;
  DWORD state = 1;  // SERVICE_STOPPED
  bool disabled = false;
  uint32_t startDelayMs = 30;  // START_PENDING -> RUNNING
  uint32_t stopDelayMs = 30;   // STOP_PENDING -> STOPPED
  DWORD stopRefusal = 0;       // error a stop request fails with (e.g. 1051); 0 = accepted
  DWORD deniedRights = 0;      // service rights the caller is refused
  uint32_t starts = 0;         // how many times it reached RUNNING
  uint32_t stops = 0;          // how many times it reached STOPPED
};

struct ServiceModel {
  std::vector<SimService> services;
  DWORD managerDeniedRights = 0;  // manager rights the caller is refused
};

}  // namespace sim
