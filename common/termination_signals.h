#ifndef TERMINATION_SIGNALS_H
#define TERMINATION_SIGNALS_H

class QCoreApplication;

// SIGTERM and SIGINT end the event loop of app: the handler only writes one
// byte to a socket pair, the main thread reads it and quits. Without the
// socket pair the signals keep their default action.
void quitOnTerminationSignals(QCoreApplication &app);

#endif // TERMINATION_SIGNALS_H
