#pragma once

#include <QDialog>
#include <functional>

// A fixed-size dialog that holds one view and behaves as a sheet of the window it is opened
// over: modal to that window only, without a frame or minimise and maximise buttons, placed by
// the application (centred horizontally, its top edge at the window's top edge, with or without
// a window manager) and moving with the window while it is open.
class Sheet : public QDialog {
    Q_OBJECT
public:
    Sheet(const QSize& size, const QString& title, QWidget* parent);

    void setContent(QWidget* content);
    // Where the sheet belongs over its window, in global coordinates.
    QPoint attachedPosition() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void attach();
    QWidget* ownerWindow() const;
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
