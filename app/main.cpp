// Stand-in entry point until the console front end lands: the program has nothing to play yet.
int main() {
    return 0;
}
