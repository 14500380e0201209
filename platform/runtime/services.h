// Services that the window runtime provides and the toolkit calls: modal message boxes.
// The toolkit talks to this small interface; the window installs a Qt implementation
// and tests install a scripted one. Without any, messages go to standard error.
#pragma once

#include <memory>
#include <string>

namespace okuva {

enum class MessageIcon { None, Exclamation, Critical, Information };

class MessageBoxService {
public:
  virtual ~MessageBoxService() = default;
  // Shows a modal message box with an OK button; returns when the user closes it.
  // An empty title means the application's default title.
  virtual void Show(const std::string& text, MessageIcon icon, const std::string& title) = 0;
};

// Shows a message box through the installed service.
void MsgBox(const std::string& text, MessageIcon icon = MessageIcon::None,
            const std::string& title = {});

// Installs a service (nullptr restores the standard-error fallback); returns the old one.
std::shared_ptr<MessageBoxService> SetMessageBoxService(std::shared_ptr<MessageBoxService> service);

// The application's default title for message boxes: the executable's name.
std::string AppTitle();

}  // namespace okuva
