// The player: one window, the main window of the application.
#include "app/TApplication.h"
#include "app/TForm1.h"
#include "app/TMprisService.h"
#include "pipeline/TRealtimeScheduling.h"

#include <cstdio>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    tarvio::TApplication application(argc, argv);
    application.SetTitle("Tarvio");
    // The sound output asks for real-time scheduling as the window makes it: say once what
    // it got.
    tarvio::TRealtimeScheduling::SetOnFirstResult([](const std::string& Words) {
        std::fprintf(stderr, "tarvio: real-time scheduling: %s\n", Words.c_str());
    });
    int result;
    {
        tarvio::TForm1 form;
        // The remote control, when config.ini asks for it; without a session bus the player
        // runs as it is.
        std::unique_ptr<tarvio::TMprisService> remote;
        if (form.Mpris) {
            remote = std::make_unique<tarvio::TMprisService>(form);
            if (remote->Registered()) {
                tarvio::TMprisService* service = remote.get();
                form.OnPlayerChanged = [service](tarvio::TComponent*) { service->PlayerChanged(); };
            } else {
                std::fprintf(stderr, "tarvio: no remote control over D-Bus: %s\n", remote->Error().c_str());
            }
        }
        form.Show();
        result = application.Run();
        form.OnPlayerChanged = nullptr;
    } // the window and its chain go before the application object
    return result;
}
