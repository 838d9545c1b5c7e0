// The player: one window, the main window of the application.

#include "app/TApplication.h"
#include "app/TForm1.h"

int main(int argc, char** argv) {
    tarvio::TApplication application(argc, argv);
    application.SetTitle("Tarvio");
    int result;
    {
        tarvio::TForm1 form;
        form.Show();
        result = application.Run();
    } // the window and its chain go before the application object
    return result;
}
