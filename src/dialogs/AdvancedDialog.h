// The advanced settings dialog: which inputs a run takes, where outputs go, what of a photo's
// metadata they carry, whether a JPEG photo saved as JPEG is encoded again and how large the
// stamp is drawn. Laid out by Qt layouts, unlike the designed settings dialog, so that it grows
// with the face and the scale.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QDialog>

#include "PhotoSettings.h"
#include "setting_common.h"

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TAdvancedForm : public QDialog {
    Q_OBJECT
public:
    explicit TAdvancedForm(QWidget* owner = nullptr);

    // The dialog's own copy: filled by the caller before showing, read back after OK.
    TPhotoSettings Settings;
    // The rest of the stamp's look (text, face, colours, corner), for the size preview only.
    ::Settings Look;

    // The folder chooser, starting at a folder; nothing when the user cancels. Replaceable so
    // that the form can be driven without a person at the screen.
    std::function<std::optional<std::string>(const std::string& start)> ExecuteFolderDialog;

    QCheckBox* AcceptPhotosBox;
    QRadioButton* BesideSourceButton;
    QRadioButton* FolderButton;
    QLineEdit* FolderEdit;
    QPushButton* BrowseButton;
    QGroupBox* MetadataGroup;
    QCheckBox* KeepMetadataBox;
    QCheckBox* StripGpsBox;
    QCheckBox* EmbedCopyrightBox;
    QGroupBox* JpegGroup;
    QCheckBox* LosslessJpegBox;
    QRadioButton* PointsButton;
    QSpinBox* PointsSpin;
    QRadioButton* RelativeButton;
    QDoubleSpinBox* PercentSpin;
    QSpinBox* MinSpin;
    QSpinBox* MaxSpin;  // 0 shows as none
    // The corner of a sample picture of kSampleWidth × kSampleHeight at one to one, with the
    // stamp drawn at the size the controls give it there.
    QLabel* SizePreview;
    static constexpr int kSampleWidth = 4000, kSampleHeight = 3000;
    static constexpr int kPreviewWidth = 480, kPreviewHeight = 120;
    QPushButton* OkButton;
    QPushButton* CancelButton;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void OkButtonClick();
    void BrowseButtonClick();
    // Greys out what the current choices make meaningless, keeping its value.
    void UpdateEnabled();
    // The size the controls show.
    TStampSize ChosenSize() const;
    void RenderSizePreview();
};
