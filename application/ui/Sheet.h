#pragma once

#include <QDialog>
#include <functional>

// A fixed-size dialog, modal to the window it is opened over, that holds one view.
class Sheet : public QDialog {
    Q_OBJECT
public:
    Sheet(const QSize& size, const QString& title, QWidget* parent);

    void setContent(QWidget* content);
};

// Keeps a sheet's visibility and a controller flag in step, both ways: the flag opens and closes
// the sheet, and a sheet dismissed by any means clears the flag. The sheet and its content are
// built on first use.
class SheetBinding : public QObject {
    Q_OBJECT
public:
    using Factory = std::function<Sheet*()>;
    using Flag = std::function<bool()>;
    using ClearFlag = std::function<void()>;

    SheetBinding(Factory factory, Flag flag, ClearFlag clearFlag, QObject* parent);

    void sync();
    Sheet* sheet() const { return m_sheet; }

private:
    Factory m_factory;
    Flag m_flag;
    ClearFlag m_clearFlag;
    Sheet* m_sheet = nullptr;
};
