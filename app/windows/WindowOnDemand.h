// A window of the program that is made the first time it is reached, so that
// starting the program pays only for the main window. It reads like the
// pointer it stands for: Form2->exec(), if (AboutBox), dialog == Form3 each
// make the window first where it is not made yet.
#pragma once

#include <QPointer>

#include <functional>

namespace sweepbox {

template <class T>
class TWindowOnDemand {
  public:
    // Makes the window (nullptr where it cannot be made); set by
    // CreateApplicationWindows. Without it the window is nullptr.
    std::function<T*()> Make;

    // The window, made now if it is not made yet (or was destroyed).
    T* get() const {
        if (Window_.isNull() && Make)
            Window_ = Make();
        return Window_.data();
    }
    T* operator->() const { return get(); }
    operator T*() const { return get(); }

    // Whether the window exists, without making it.
    bool Made() const { return !Window_.isNull(); }

  private:
    // Cleared when the window goes, with its parent or on its own.
    mutable QPointer<T> Window_;
};

} // namespace sweepbox
