// The progress window of a long drop: file n of N, its name and how far its encoder has got,
// with a Cancel button. It stays hidden for a drop whose work is over within about a second;
// the time its boxes stay open does not count.
#pragma once

#include <memory>
#include <string>

#include <QElapsedTimer>

#include "Pipeline.h"

class QProgressDialog;
class QWidget;

class TQtDropProgress : public TDropProgress {
public:
    static constexpr int kShowAfterMs = 1000;

    explicit TQtDropProgress(QWidget* parent, int showAfterMs = kShowAfterMs);
    ~TQtDropProgress() override;

    void FileStarted(size_t index, size_t count, const std::string& path) override;
    void FileProgress(int percent) override;
    void FileFinished() override;
    bool Cancelled() override;
    void Finished() override;

    QProgressDialog* Dialog() const { return dialog_.get(); }

private:
    // Shows the window once the drop has run long enough; while shown, lets it repaint and
    // take the Cancel click.
    void Refresh();

    std::unique_ptr<QProgressDialog> dialog_;
    // The work's time: the files finished so far, and the current file since it started.
    qint64 workedMs_ = 0;
    QElapsedTimer clock_;
    int showAfterMs_;
    size_t index_ = 0;
    int percent_ = -1;
};
