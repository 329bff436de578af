#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QWidget>

namespace varnelo {

// Window layouts are given in twips: 15 to a pixel at normal resolution.
constexpr int twips(int t)
{
    return t / 15;
}

// The program's windows: grey background and an Arial face.
inline void applyWindowLook(QWidget* window, double arialPointSize)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(arialPointSize);
    window->setFont(font);
    QPalette pal = window->palette();
    pal.setColor(QPalette::Window, QColor(224, 224, 224));
    window->setPalette(pal);
    window->setAutoFillBackground(true);
}

}  // namespace varnelo
