#include "platform/runtime/services.h"

#include <cstdio>
#include <mutex>

#include "platform/runtime/program.h"

namespace okuva {

namespace {

struct ServiceSlot {
  std::mutex lock;
  std::shared_ptr<MessageBoxService> service;
};

ServiceSlot& Slot() {
  static ServiceSlot slot;
  return slot;
}

}  // namespace

std::string AppTitle() { return ExecutableName(); }

void MsgBox(const std::string& text, MessageIcon icon, const std::string& title) {
  const std::string shownTitle = title.empty() ? AppTitle() : title;
  std::shared_ptr<MessageBoxService> service;
  {
    ServiceSlot& slot = Slot();
    std::lock_guard<std::mutex> guard(slot.lock);
    service = slot.service;
  }
  // The service is called outside the lock: a modal box may run events that show
  // another box or install a new service.
  if (service) {
    service->Show(text, icon, shownTitle);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", shownTitle.c_str(), text.c_str());
  std::fflush(stderr);
}

std::shared_ptr<MessageBoxService> SetMessageBoxService(
    std::shared_ptr<MessageBoxService> service) {
  ServiceSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  std::swap(slot.service, service);
  return service;
}

}  // namespace okuva
