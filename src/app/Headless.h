// The toolkit's graphics for a run without a window: text is drawn through Qt's font
// machinery, which needs an application object, but no screen may be asked for.
#pragma once

#include <memory>

class QGuiApplication;

// While it lives, an application object on the "offscreen" platform exists (unless one was
// there already); it is taken down, with the font caches it holds, when the run ends.
class THeadlessGraphics {
public:
    THeadlessGraphics();
    ~THeadlessGraphics();
    THeadlessGraphics(const THeadlessGraphics&) = delete;
    THeadlessGraphics& operator=(const THeadlessGraphics&) = delete;

private:
    std::unique_ptr<QGuiApplication> app_;
};
