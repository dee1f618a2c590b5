// The start-up floor for korvath-cli: a program that loads Qt Core, makes its
// application object and prints a version, as `korvath-cli --version` does.
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%s\n", qVersion());
    return 0;
}
