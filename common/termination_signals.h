#ifndef TERMINATION_SIGNALS_H
#define TERMINATION_SIGNALS_H

class QCoreApplication;

// SIGTERM and SIGINT end the event loop of app: the handler only writes one
// byte to a socket pair, the main thread reads it and quits. Without the
// socket pair the signals keep their default action.
void quitOnTerminationSignals(QCoreApplication &app);

// For code that waits before the event loop runs: waits up to ms for SIGTERM
// or SIGINT (after quitOnTerminationSignals); true when one arrived.
bool terminationRequestedWithin(int ms);

#endif // TERMINATION_SIGNALS_H
