#pragma once

#include "form1.h"
#include "runview.h"

// The conversion run's view of the window.
class FormRunView : public RunView {
public:
    explicit FormRunView(Form1& form) : m_form(form) {}

    int itemCount() const override { return m_form.itemCount(); }
    QString itemText(int index) const override { return m_form.itemText(index); }
    bool saveToFolder() const override { return m_form.saveToFolder(); }
    bool saveBesideOriginal() const override { return m_form.saveBesideOriginal(); }
    QString destinationFolder() const override { return m_form.destinationFolder(); }
    ProgressBar& progressBar() override { return m_form.progressBar(); }
    void setBusy(bool busy) override { m_form.setBusy(busy); }
    bool isBusy() const override { return m_form.isBusy(); }
    Dialogs& dialogs() override { return m_form.dialogs(); }

private:
    Form1& m_form;
};
