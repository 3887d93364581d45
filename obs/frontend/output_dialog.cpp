// The Tools menu's dialog for the QRV Output: the name on the network,
// whether to start when OBS starts, and starting or stopping it now.
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "output_control.h"

namespace qrv_obs_frontend {

namespace {

class OutputDialog : public QDialog {
public:
    explicit OutputDialog(QWidget* parent) : QDialog(parent)
    {
        setWindowTitle(obs_module_text("Dialog.Title"));
        setAttribute(Qt::WA_DeleteOnClose);
        const OutputSettings settings = load_output_settings();
        name_ = new QLineEdit(QString::fromStdString(settings.name), this);
        at_launch_ = new QCheckBox(obs_module_text("Dialog.StartAtLaunch"), this);
        at_launch_->setChecked(settings.start_at_launch);
        state_ = new QLabel(this);
        state_->setWordWrap(true);
        toggle_ = new QPushButton(this);

        auto* form = new QFormLayout();
        form->addRow(obs_module_text("Dialog.Name"), name_);
        form->addRow(at_launch_);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(form);
        layout->addWidget(state_);
        layout->addWidget(toggle_);
        layout->addWidget(buttons);

        connect(toggle_, &QPushButton::clicked, this, [this] { toggle(); });
        connect(at_launch_, &QCheckBox::toggled, this, [this] { save(); });
        connect(name_, &QLineEdit::editingFinished, this, [this] { save(); });
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
        show_state("");
    }

private:
    bool save()
    {
        OutputSettings settings;
        settings.name = name_->text().trimmed().toStdString();
        settings.start_at_launch = at_launch_->isChecked();
        if (settings.name.empty()) {
            show_state(obs_module_text("Dialog.NameMissing"));
            return false;
        }
        return save_output_settings(settings);
    }

    void toggle()
    {
        std::string error;
        if (output_running())
            stop_output();
        else if (save())
            start_output(&error);
        show_state(error);
    }

    void show_state(const std::string& error)
    {
        toggle_->setText(obs_module_text(output_running() ? "Dialog.Stop" : "Dialog.Start"));
        state_->setText(!error.empty() ? QString::fromStdString(error)
                                       : obs_module_text(output_running() ? "Dialog.Running" : "Dialog.Stopped"));
    }

    QLineEdit* name_;
    QCheckBox* at_launch_;
    QLabel* state_;
    QPushButton* toggle_;
};

QPointer<OutputDialog> open_dialog;

}  // namespace

void show_output_dialog()
{
    if (!open_dialog)
        open_dialog = new OutputDialog(static_cast<QMainWindow*>(obs_frontend_get_main_window()));
    open_dialog->show();
    open_dialog->raise();
    open_dialog->activateWindow();
}

}  // namespace qrv_obs_frontend
