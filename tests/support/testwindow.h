#ifndef TESTWINDOW_H
#define TESTWINDOW_H

#include "window/henq.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBrowser>

// The transcoder window with its state opened up for tests.
class TestWindow : public HenQ
{
public:
    explicit TestWindow(QWidget *parent = nullptr) : HenQ(parent) {}

    using HenQ::askYuvSettings;

    using HenQ::recentDir;
    using HenQ::logView;
    using HenQ::inputEdit;
    using HenQ::cfgEdit;
    using HenQ::outputEdit;
    using HenQ::encoderEdit;
    using HenQ::encodeButton;
    using HenQ::encodersBox;
    using HenQ::progressBar;
    using HenQ::progressLabel;
    using HenQ::reportButton;
    using HenQ::job;
    using HenQ::prevWidth;
    using HenQ::prevHeight;
    using HenQ::rawFrame;
    using HenQ::rawFps;
};

#endif // TESTWINDOW_H
