#include "app/CQuorlinApp.h"

#include "platform/crypt/CardCryptApi.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "ui/CQuorlinDlg.h"
#include "ui/qt/QtDialogWindow.h"

namespace quorlin {

bool CQuorlinApp::InitInstance() {
    // Qt hosts embedded controls and draws them in its own style without being asked, so
    // the framework's first two start-up steps have nothing to do here.
    pcsc::PcscLite pcsc;
    x509::OpenSslCertApi certs;
    crypt::CardCryptApi crypt(pcsc);
    store::SqliteStoreApi store;
    Platform platform{&pcsc, &certs, &crypt, &store};
    platform.watchReaders = true;

    // The view outlives the dialog object, whose destructor may still report a failure
    // (ownerless) after the window has closed.
    qt::QtDialogWindow view;
    {
        CQuorlinDlg dlg(view, platform);
        dlg.DoModal();
        // The modal run has closed the window; leaving this scope destroys the dialog
        // object, which disconnects the card and releases the context.
    }
    return false;
}

}  // namespace quorlin
