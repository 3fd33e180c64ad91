#include "app/CQuorlinApp.h"

#include <optional>

#include "platform/crypt/CardCryptApi.h"
#include "platform/keylink/Pkcs11KeyLinks.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/trace/TraceFormat.h"
#include "platform/trace/TracingPcsc.h"
#include "platform/x509/OpenSslCertApi.h"
#include "ui/CQuorlinDlg.h"
#include "ui/qt/QtDialogWindow.h"

namespace quorlin {

bool CQuorlinApp::InitInstance() {
    // Qt hosts embedded controls and draws them in its own style without being asked, so
    // the framework's first two start-up steps have nothing to do here.
    pcsc::PcscLite service;
    // One traced service for the dialog, its reader watcher and the provider alike.
    std::optional<trace::TracingPcsc> traced;
    if (m_trace) {
        traced.emplace(service, *m_trace);
    }
    pcsc::PcscApi& cards = traced ? static_cast<pcsc::PcscApi&>(*traced) : service;
    x509::OpenSslCertApi certs;
    crypt::CardCryptApi crypt(cards);
    store::SqliteStoreApi store;
    keylink::Pkcs11KeyLinks links;
    Platform platform{&cards, &certs, &crypt, &store};
    platform.links = &links;
    platform.watchReaders = true;

    // The view outlives the dialog object, whose destructor may still report a failure
    // (ownerless) after the window has closed.
    qt::QtDialogWindow view;
    if (m_trace) {
        view.ObserveMessageBoxes([sink = m_trace.get()](const std::string& text,
                                                        const std::optional<std::string>& caption,
                                                        std::optional<MsgIcon> icon) {
            sink->Write(trace::MessageBoxLine(text, caption, icon));
        });
    }
    {
        CQuorlinDlg dlg(view, platform);
        dlg.DoModal();
        // The modal run has closed the window; leaving this scope destroys the dialog
        // object, which disconnects the card and releases the context.
    }
    return false;
}

}  // namespace quorlin
