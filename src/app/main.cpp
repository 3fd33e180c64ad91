#include <QApplication>

#include "app/CQuorlinApp.h"

namespace {

// The single application object, as the framework has it: constructed before main runs.
quorlin::CQuorlinApp theApp;

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    theApp.InitInstance();
    return 0;
}
