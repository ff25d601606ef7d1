#include "app/ui/CTray.h"

#include "app/ui/PictureBox.h"

#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

CTray::CTray(QObject *parent) : QObject(parent), mTip(kTipFieldLength, QChar(0))
{
    // Headless platforms never have a notification area; the icon object
    // would only complain. The operations keep their state all the same.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    mIcon = new QSystemTrayIcon(this);
    connect(mIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { activated(int(reason)); });
}

CTray::~CTray()
{
    DeleteIcon();
    mPic = nullptr;
}

void CTray::setPicBox(PictureBox *pic)
{
    if (mPic)
        disconnect(mPic, nullptr, this, nullptr);
    mPic = pic;
    if (!pic)
        return;
    connect(pic, &PictureBox::pictureChanged, this, &CTray::pictureChanged);
    if (mIcon)
        mIcon->setIcon(pic->picture());
}

void CTray::setContextMenu(QMenu *menu)
{
    mMenu = menu;
    if (mIcon)
        mIcon->setContextMenu(menu);
}

QMenu *CTray::contextMenu() const
{
    return mMenu;
}

QString CTray::TipText() const
{
    return mTip;
}

void CTray::setTipText(const QString &text)
{
    qsizetype keep = qMin<qsizetype>(text.size(), kTipFieldLength - 1);
    // Never keep half of a surrogate pair.
    if (keep > 0 && keep < text.size() && text.at(keep - 1).isHighSurrogate())
        --keep;
    mTip = text.left(keep) + QChar(0);
    mTip += QString(kTipFieldLength - mTip.size(), QLatin1Char(' '));
    if (mIcon)
        mIcon->setToolTip(tipShown());
}

bool CTray::ShowIcon()
{
    if (!mPic)
        return false;
    if (mIcon) {
        mIcon->setIcon(mPic->picture());
        mIcon->setToolTip(tipShown());
        mIcon->show();
    }
    mShown = true;
    return true;
}

void CTray::DeleteIcon()
{
    if (mIcon)
        mIcon->hide();
    mShown = false;
}

std::optional<CTray::Event> CTray::eventForCode(int code)
{
    switch (code) {
    case 513: return Event::LButtonDown;     // WM_LBUTTONDOWN
    case 514: return Event::LButtonUp;       // WM_LBUTTONUP
    case 515: return Event::LButtonDblClick; // WM_LBUTTONDBLCLK
    case 516: return Event::RButtonDown;     // WM_RBUTTONDOWN
    case 517: return Event::RButtonUp;       // WM_RBUTTONUP
    case 518: return Event::RButtonDblClick; // WM_RBUTTONDBLCLK
    default: return std::nullopt;
    }
}

void CTray::notify(int code)
{
    if (mInEvent || mReleaseAfterEvent)
        return;
    mInEvent = true;
    if (const auto event = eventForCode(code)) {
        switch (*event) {
        case Event::RButtonDown: emit RButtonDown(); break;
        case Event::RButtonUp: emit RButtonUp(); break;
        case Event::RButtonDblClick: emit RButtonDblClick(); break;
        case Event::LButtonDown: emit LButtonDown(); break;
        case Event::LButtonUp: emit LButtonUp(); break;
        case Event::LButtonDblClick: emit LButtonDblClick(); break;
        }
    }
    mInEvent = false;
    if (mReleaseAfterEvent)
        deleteLater();
}

void CTray::release()
{
    if (mInEvent) {
        // The event's emitter is still on the stack; delete once it returns.
        DeleteIcon();
        mReleaseAfterEvent = true;
        return;
    }
    delete this;
}

void CTray::pictureChanged()
{
    if (mPic && mIcon)
        mIcon->setIcon(mPic->picture());
}

void CTray::activated(int reason)
{
    // The desktop reports whole clicks; the classic codes are button downs
    // and ups. A notification dropped by the busy flag is dropped here too.
    switch (QSystemTrayIcon::ActivationReason(reason)) {
    case QSystemTrayIcon::DoubleClick: notify(515); break;
    case QSystemTrayIcon::Trigger:
        notify(513);
        notify(514);
        break;
    case QSystemTrayIcon::Context:
        notify(516);
        notify(517);
        break;
    default: break;
    }
}

QString CTray::tipShown() const
{
    const qsizetype end = mTip.indexOf(QChar(0));
    return end < 0 ? mTip : mTip.left(end);
}
