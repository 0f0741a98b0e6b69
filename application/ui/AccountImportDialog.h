#pragma once

#include "config/AccountImport.h"

#include <QDialog>
#include <optional>

class MihomoManager;
class ElidedLabel;
class QLineEdit;
class QPushButton;

// Imports an account from the service's node link and access token. Window-modal over the
// settings sheet; "导入" is enabled only while both fields check out, and the reason a link is
// refused shows under it as the user types.
class AccountImportDialog : public QDialog {
    Q_OBJECT
public:
    explicit AccountImportDialog(MihomoManager& manager, QWidget* parent = nullptr);

private:
    void validate();
    void importAccount();

    MihomoManager& m_manager;
    QLineEdit* m_linkField = nullptr;
    ElidedLabel* m_linkError = nullptr;
    QLineEdit* m_tokenField = nullptr;
    ElidedLabel* m_tokenError = nullptr;
    QPushButton* m_importButton = nullptr;
    std::optional<AccountImport> m_account; // what "导入" would import right now
};
