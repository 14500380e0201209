#include "platform/qt/window_handles.h"

#include <QCoreApplication>
#include <QPointer>
#include <cstdint>
#include <vector>

namespace okuva::qt {
namespace {

// Handle = tag | slot index << 12 | generation; the tag keeps our handles apart from
// the raster layer's, the generation makes a reused slot's old handles stale.
constexpr uint32_t kTag = 0x40000000u;
constexpr uint32_t kGenerationBits = 12;
constexpr uint32_t kGenerationMask = (1u << kGenerationBits) - 1;
constexpr uint32_t kMaxSlots = (kTag >> kGenerationBits) - 1;

struct Slot {
  QPointer<QWidget> widget;
  uint32_t generation = 1;
};

std::vector<Slot>& Table() {
  static std::vector<Slot> table;
  return table;
}

gdi::HWND MakeHandle(uint32_t index, uint32_t generation) {
  return kTag | ((index + 1) << kGenerationBits) | generation;
}

Slot* Resolve(gdi::HWND handle) {
  if ((handle & kTag) == 0) {
    return nullptr;
  }
  const uint32_t index = ((handle & ~kTag) >> kGenerationBits);
  if (index == 0 || index > Table().size()) {
    return nullptr;
  }
  Slot& slot = Table()[index - 1];
  if ((handle & kGenerationMask) != slot.generation || slot.widget.isNull()) {
    return nullptr;
  }
  return &slot;
}

}  // namespace

gdi::HWND WindowHandle(QWidget* widget) {
  if (widget == nullptr) {
    return 0;
  }
  std::vector<Slot>& table = Table();
  const QVariant known = widget->property("okuvaWindowHandle");
  if (known.isValid()) {
    const auto handle = known.value<uint32_t>();
    if (Resolve(handle) != nullptr) {
      return handle;
    }
  }
  // Reuse a slot whose widget is gone, with a new generation.
  for (uint32_t i = 0; i < table.size(); ++i) {
    if (table[i].widget.isNull()) {
      Slot& slot = table[i];
      slot.generation = (slot.generation % kGenerationMask) + 1;
      slot.widget = widget;
      const gdi::HWND handle = MakeHandle(i, slot.generation);
      widget->setProperty("okuvaWindowHandle", QVariant::fromValue(handle));
      return handle;
    }
  }
  if (table.size() >= kMaxSlots) {
    return 0;
  }
  table.push_back(Slot{widget, 1});
  const gdi::HWND handle = MakeHandle(static_cast<uint32_t>(table.size() - 1), 1);
  widget->setProperty("okuvaWindowHandle", QVariant::fromValue(handle));
  return handle;
}

QWidget* WidgetFromHandle(gdi::HWND handle) {
  Slot* slot = Resolve(handle);
  return slot != nullptr ? slot->widget.data() : nullptr;
}

bool DestroyWindow(gdi::HWND handle) {
  QWidget* widget = WidgetFromHandle(handle);
  if (widget == nullptr) {
    return false;
  }
  delete widget;
  return true;
}

void DoEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace okuva::qt
