// The capture driver's two dialogs, in Spanish: the video format (pixel format, frame
// size, frame rate; applying restarts the stream) and the video source (every control
// the device reports, applied live, with a way back to the defaults).
#pragma once

#include <QDialog>
#include <optional>
#include <vector>

#include "platform/camera/camera.h"

class QComboBox;
class QLabel;

namespace okuva::qt {

class VideoFormatDialog : public QDialog {
  Q_OBJECT

public:
  VideoFormatDialog(camera::Camera& camera, QWidget* parent = nullptr);

  // The format the three lists describe now; nullopt when the device offers none.
  std::optional<camera::StreamFormat> Selected() const;
  // Asks the device for the selected format. False (with a message box saying so) when
  // it refused; the stream then keeps its former format.
  bool Apply();

  QComboBox* FormatBox() const { return formatBox_; }
  QComboBox* SizeBox() const { return sizeBox_; }
  QComboBox* RateBox() const { return rateBox_; }

  void done(int result) override;  // accepting applies first and stays open on refusal

private:
  void FillSizes();
  void FillRates();

  camera::Camera& camera_;
  std::vector<camera::FormatChoice> choices_;
  QComboBox* formatBox_;
  QComboBox* sizeBox_;
  QComboBox* rateBox_;
};

class VideoSourceDialog : public QDialog {
  Q_OBJECT

public:
  VideoSourceDialog(camera::Camera& camera, QWidget* parent = nullptr);

  // Sets every control that has a value back to the device's default (applied at once).
  void RestoreDefaults();
  // The editor of a control (QSlider, QCheckBox, QComboBox or QPushButton), by id.
  QWidget* Editor(uint32_t id) const;
  // The last refusal of the device, shown under the controls ("" when none).
  QString Status() const;

private:
  bool ApplyControl(uint32_t id, int32_t value);  // false (and says why) on refusal

  camera::Camera& camera_;
  std::vector<camera::Control> controls_;
  std::vector<QWidget*> editors_;
  QLabel* status_;
};

}  // namespace okuva::qt
