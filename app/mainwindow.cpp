#include "app/mainwindow.h"

MainWindow::MainWindow() = default;

MainWindow::~MainWindow() { mainWindowStop(); }

void MainWindow::mainWindowStop()
{
    timerThread.timerThreadStop();
    anchorUdpSocketThread.anchorUdpSocketThreadStop();
    apiUdpSocketThread.apiUdpSocketThreadStop();
    algorithmThread.algoThreadStop();
    timerThread.wait();
    anchorUdpSocketThread.wait();
    apiUdpSocketThread.wait();
    algorithmThread.wait();
}
