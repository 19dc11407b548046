// A vCard's text cut back into the fields of the window's vCard pages: the inverse of the
// layout the vCard builder writes.
#pragma once

#include <QString>

struct TVcardFields {
    QString lastName;
    QString firstName;
    QString title;
    QString company;
    QString jobTitle;
    QString url;
    QString email;
    QString phone;
    QString mobile;
    QString street;
    QString city;
    QString postalCode;
    QString country;
};

// Line breaks are made "\n" first. A field whose key the card lacks keeps what it held, so a
// card from elsewhere fills what it has and nothing more.
void cutVcard(const QString& card, TVcardFields& fields);
