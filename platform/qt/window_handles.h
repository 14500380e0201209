// Window handles: 32-bit checked handles (index and generation) for Qt widgets, so that
// code written against window handles can name a widget as a parent or owner. A handle
// whose widget is gone, or that was never issued, resolves to nothing.
#pragma once

#include <QWidget>

#include "platform/gdi/gdi.h"

namespace okuva::qt {

// The handle of a widget, issued on first request and stable for the widget's life.
// Must be called on the user-interface thread.
gdi::HWND WindowHandle(QWidget* widget);

// The widget a handle names, or nullptr when the handle is 0, stale or unknown.
QWidget* WidgetFromHandle(gdi::HWND handle);

// Destroys the widget a handle names (deleted at once, with its children). False when
// the handle names no living widget, as for a window already destroyed.
bool DestroyWindow(gdi::HWND handle);

// Processes the pending window events, then returns.
void DoEvents();

}  // namespace okuva::qt
