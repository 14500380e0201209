// "Ojo" and "Guardar también registro ISO": when ticked, "Grabar" writes after the JPEG
// the iris record (ISO/IEC 19794-6:2011) of the still beside it, same name with
// ".iir". The save path itself is untouched: the record comes only after the JPEG was
// written, and a record that cannot be made leaves the JPEG and tells the operator why.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;

namespace okuva {

namespace qt {
class CaptureWindow;
}

class RecordOptions : public QWidget {
  Q_OBJECT
public:
  // Texts the operator sees.
  static constexpr const char* kEyeLabel = "Ojo";
  static constexpr const char* kEyeNames[3] = {"Sin indicar", "Derecho", "Izquierdo"};
  static constexpr const char* kSaveToggle = "Guardar también registro ISO";
  static constexpr const char* kTitle = "Registro ISO";
  static constexpr const char* kNotSaved = "La foto se ha grabado, pero no el registro ISO: ";
  static constexpr const char* kNoIris = "no se encuentra el iris en la foto.";
  static constexpr const char* kMargins =
      "el ojo está demasiado cerca del borde de la foto (hace falta margen alrededor del iris).";

  // `source` gives the current capture window (or nullptr), to tell a webcam from the
  // simulated camera in the record's device field.
  RecordOptions(QWidget* parent, std::function<qt::CaptureWindow*()> source);

  // The still was taken now: its capture time and the camera it came from.
  void StillTaken();
  // After the JPEG `jpegPath` was written from `still`: writes the record when the box
  // is ticked; any failure is told to the operator in a message box, never raised.
  void AfterSave(const QImage& still, const std::string& jpegPath);

  // The record's name for a JPEG name: its extension replaced by ".iir" (added when it
  // has none).
  static std::string RecordPath(const std::string& jpegPath);

  QComboBox* EyeChoice() const { return eye_; }
  QCheckBox* SaveToggle() const { return save_; }

private:
  std::function<qt::CaptureWindow*()> source_;
  QComboBox* eye_;
  QCheckBox* save_;
  timespec takenAt_{};
  bool taken_ = false;
  uint8_t deviceTechnology_ = 0;
};

}  // namespace okuva
