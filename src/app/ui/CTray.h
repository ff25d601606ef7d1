#pragma once
// CTray: the notification-area (tray) icon of the server, over
// QSystemTrayIcon. It takes its icon from a picture box, keeps a tip field
// of 64 characters, and turns mouse activity on the icon into six events.
//
// Mouse activity arrives as the classic mouse message codes (513..518, see
// eventForCode); QSystemTrayIcon's activation reasons are mapped to them.
// While one event is being raised (mInEvent), further notifications are
// dropped, not queued: a handler that opens a modal box or otherwise lets
// events through never receives a second tray event before it returns.
//
// A right click also opens the context menu, where one is set; the desktop
// opens it, and the right click's events (516, then 517) are raised as
// without a menu. The menu stays the caller's: CTray never deletes it.
//
// Ownership: the main window creates one CTray at start-up and releases it
// at exit. Releasing it from inside one of its own events is safe only
// through release() (which defers the deletion while an event runs).

#include <QObject>
#include <QPointer>
#include <QString>
#include <optional>

class PictureBox;
class QMenu;
class QSystemTrayIcon;

class CTray : public QObject {
    Q_OBJECT
public:
    // The events, numbered 1 to 6 in declaration order.
    enum class Event { RButtonDown = 1, RButtonUp, RButtonDblClick, LButtonDown, LButtonUp, LButtonDblClick };

    static constexpr int kTipFieldLength = 64; // terminator included
    static constexpr unsigned uID = 1;

    explicit CTray(QObject *parent = nullptr);
    // Removes the icon, then forgets the picture box.
    ~CTray() override;

    // --- public interface, in the classic order ---------------------------------
    // PicBox (write): icon source and notification window. No icon is added.
    void setPicBox(PictureBox *pic);
    // TipText (read): the whole 64-character field, terminator and padding
    // included.
    QString TipText() const;
    // TipText (write): at most 63 characters of text, a NUL, then blanks up to
    // 64 characters. Changes the shown icon's tip; the next ShowIcon uses it.
    void setTipText(const QString &text);
    // Adds the icon; false (and nothing shown) while no picture box is set.
    bool ShowIcon();
    // Removes the icon; calling it again has no effect.
    void DeleteIcon();

    // --- mouse notifications ------------------------------------------------------
    // The event a classic mouse message code raises, if any.
    static std::optional<Event> eventForCode(int code);
    // A mouse notification from the icon: raises the code's event unless one
    // is being raised already.
    void notify(int code);

    // The desktop's report of a click on the icon (a
    // QSystemTrayIcon::ActivationReason), turned into the classic codes.
    void activated(int reason);

    // The menu a right click on the icon opens; nullptr for none. It exists
    // whether or not the desktop has a notification area.
    void setContextMenu(QMenu *menu);
    QMenu *contextMenu() const;

    bool iconShown() const { return mShown; }
    bool inEvent() const { return mInEvent; }
    // Deletes the object now, or once its running event has returned.
    void release();

signals:
    void RButtonDown();
    void RButtonUp();
    void RButtonDblClick();
    void LButtonDown();
    void LButtonUp();
    void LButtonDblClick();

private:
    void pictureChanged();
    QString tipShown() const;

    QPointer<PictureBox> mPic;
    QPointer<QMenu> mMenu;
    QSystemTrayIcon *mIcon = nullptr; // owned (child); none on headless platforms
    QString mTip;                     // always kTipFieldLength characters
    bool mInEvent = false;
    bool mShown = false;
    bool mReleaseAfterEvent = false;
};
