#pragma once

#include <QString>

class Dialogs;
class ProgressBar;

// What a conversion run reads from and shows on its window. The run asks
// again every time it needs a value, because the user may change the list
// and the options while the run yields to the window.
class RunView {
public:
    virtual ~RunView() = default;

    virtual int itemCount() const = 0;
    // 1-based, as the run counts.
    virtual QString itemText(int index) const = 0;
    // "Save results to this folder:" (Option1).
    virtual bool saveToFolder() const = 0;
    // "Save results in folder of original file" (Option2).
    virtual bool saveBesideOriginal() const = 0;
    virtual QString destinationFolder() const = 0;
    virtual ProgressBar& progressBar() = 0;
    // The hourglass: while it shows, the list cannot become shorter.
    virtual void setBusy(bool busy) = 0;
    virtual bool isBusy() const = 0;
    virtual Dialogs& dialogs() = 0;
};
