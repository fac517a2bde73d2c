// Process-wide state of the spine: request flags, connection counters and the
// window title.
#include "server/core/server_state.h"

#include <malloc.h>

#include <atomic>
#include <mutex>

#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/core/worker.h"

namespace {

std::atomic<int> g_in{0}, g_out{0};
std::mutex g_titleMutex;
std::string g_statusText;
std::string g_title;

void RefreshTitle() {
  const Settings& s = ServerSettings();
  std::string title = s.productName + " v" + s.productVersion;
  if (!s.localNode.empty()) title += " (" + s.localNode + ")";
  if (!g_statusText.empty()) title += " - " + g_statusText;
  g_title = title;
}

std::atomic<uint64_t> gMessageCounts[size_t(MessageCount::kKinds)];

}  // namespace

void CountMessage(MessageCount kind) {
  gMessageCounts[size_t(kind)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t MessageCountOf(MessageCount kind) {
  return gMessageCounts[size_t(kind)].load(std::memory_order_relaxed);
}

void RequestIncomingScan() {
  WorkerFlags().incomingRequest = true;
  WakePeriodicWorker();
}

void RequestOutgoingScan() {
  WorkerFlags().outgoingAgain = true;
  WakePeriodicWorker();
}

void RequestOutgoingChecks() {
  WorkerFlags().outgoingChecks = true;
  WakePeriodicWorker();
}

void RequestForcedConnection() {
  WorkerFlags().forcedRequest = true;
  WakePeriodicWorker();
}

void AdjustConnectionCounts(int deltaIn, int deltaOut) {
  int in = g_in += deltaIn;
  int out = g_out += deltaOut;
  if (!ServerSettings().showActivity) return;
  if (in != 0 || out != 0) {
    SetStatusText(FormatText(LoadStringResource(kStrInOut), in, out).c_str());
  } else {
    SetStatusText(nullptr);
  }
}

void ConnectionCounts(int& in, int& out) {
  in = g_in;
  out = g_out;
}

void SetStatusText(const char* text) {
  std::lock_guard<std::mutex> lock(g_titleMutex);
  g_statusText = text ? text : "";
  RefreshTitle();
}

void SetStatusTextId(unsigned id) {
  const char* text = LoadStringResource(id);
  SetStatusText(text ? text : "");
}

std::string WindowTitle() {
  std::lock_guard<std::mutex> lock(g_titleMutex);
  if (g_title.empty()) RefreshTitle();
  return g_title;
}

long AllocationTotal() {
  struct mallinfo2 mi = mallinfo2();
  return long(mi.uordblks + mi.hblkhd);
}
