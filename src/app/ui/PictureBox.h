#pragma once
// The hidden picture box "pic" of the main window: it holds the window's icon
// for the tray icon and says when that picture is replaced. It is never shown.

#include <QIcon>
#include <QWidget>

class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget *parent = nullptr) : QWidget(parent) {}

    QIcon picture() const { return mPicture; }
    void setPicture(const QIcon &picture)
    {
        mPicture = picture;
        emit pictureChanged();
    }

signals:
    void pictureChanged();

private:
    QIcon mPicture;
};
