// GNOME Shell 43 answers org.gnome.Shell.Eval only in unsafe mode, and has no
// command-line switch for it; the provider test turns it on from here to read
// what the overview shows. Never install this outside a test's private home.
class Extension {
    enable() {
        global.context.unsafe_mode = true;
    }

    disable() {
        global.context.unsafe_mode = false;
    }
}

// eslint-disable-next-line no-unused-vars
function init() {
    return new Extension();
}
