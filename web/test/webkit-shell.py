#!/usr/bin/python3
"""A one-window WebKitGTK browser for WebKitWebDriver (web/test/webkit.test.mjs).

MiniBrowser, which WebKitWebDriver starts by default, gives its automation
session an ephemeral profile, and an ephemeral profile has no origin-private
file system (navigator.storage.getDirectory() fails with UnknownError). This
shell keeps its profile in --profile DIR, switches on the storage features
that Safari ships, and saves every download into --downloads DIR under the
name the page gave it.

WebKitWebDriver starts it with exactly the arguments of the capability
webkitgtk:browserOptions: {binary, args} (it adds MiniBrowser's --automation
only to MiniBrowser, so args must hold it), with WEBKIT_INSPECTOR_SERVER in
the environment; it runs with Debian's python3 and its WebKit2 4.1 bindings
(scripts/install-deps --web).
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version('Gtk', '3.0')
gi.require_version('WebKit2', '4.1')
from gi.repository import GLib, Gtk, WebKit2  # noqa: E402

# What Safari has on, and the page needs: the private storage, its writable
# streams and sync access handles, and the storage estimate.
FEATURES = ('FileSystem', 'AccessHandle', 'StorageAPI', 'StorageAPIEstimate',
            'ReadableByteStreamAPI', 'FileSystemWritableStream')


def parse():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--automation', action='store_true',
                        help='allow WebKitWebDriver to drive it (always passed by the driver)')
    parser.add_argument('--profile', required=True, help='folder that keeps the profile')
    parser.add_argument('--downloads', required=True, help='folder that receives downloads')
    parser.add_argument('--list-features', action='store_true',
                        help='print the identifiers of the WebKit features and leave')
    # Anything else WebKitWebDriver adds (a URL, a newer option) is left alone.
    options, _ = parser.parse_known_args()
    return options


def enable_features(settings):
    features = WebKit2.Settings.get_all_features()
    known = set()
    for index in range(features.get_length()):
        feature = features.get(index)
        known.add(feature.get_identifier())
        if feature.get_identifier() in FEATURES:
            settings.set_feature_enabled(feature, True)
    missing = [name for name in FEATURES if name not in known]
    if missing:
        print(f'webkit-shell: this WebKit has no feature {", ".join(missing)}', file=sys.stderr)


def main():
    options = parse()
    if options.list_features:
        features = WebKit2.Settings.get_all_features()
        for index in range(features.get_length()):
            feature = features.get(index)
            print(feature.get_identifier(), feature.get_default_value())
        return 0

    # WebKit takes only absolute download destinations.
    options.profile = os.path.abspath(options.profile)
    options.downloads = os.path.abspath(options.downloads)
    os.makedirs(options.profile, exist_ok=True)
    os.makedirs(options.downloads, exist_ok=True)
    # Safari's shares of the disk: the full-size patch needs about 3 GB.
    manager = WebKit2.WebsiteDataManager(
        base_data_directory=os.path.join(options.profile, 'data'),
        base_cache_directory=os.path.join(options.profile, 'cache'),
        origin_storage_ratio=0.6, total_storage_ratio=0.8)
    context = WebKit2.WebContext(website_data_manager=manager)
    context.set_automation_allowed(options.automation)

    settings = WebKit2.Settings()
    enable_features(settings)
    settings.set_enable_developer_extras(True)

    windows = []

    def new_view(automated):
        view = WebKit2.WebView(web_context=context, settings=settings,
                               is_controlled_by_automation=automated)
        window = Gtk.Window(title='webkit-shell')
        window.set_default_size(1024, 768)
        window.add(view)
        view.connect('close', lambda *_: window.destroy())
        window.connect('destroy', lambda *_: windows.remove(window) if window in windows else None)
        window.show_all()
        windows.append(window)
        return view

    # Written as NAME.part and renamed when whole, as Firefox does.
    def on_decide_destination(download, suggested):
        name = os.path.basename(suggested) or 'download'
        final = os.path.join(options.downloads, name)
        failed = []

        def on_failed(_download, error):
            failed.append(error)
            print(f'webkit-shell: download of {name} failed: {error.message}', file=sys.stderr)

        def on_finished(_download):
            if not failed and os.path.exists(final + '.part'):
                os.replace(final + '.part', final)

        download.set_allow_overwrite(True)
        download.set_destination(final + '.part')
        download.connect('failed', on_failed)
        download.connect('finished', on_finished)
        return True

    def on_download(_context, download):
        download.connect('decide-destination', on_decide_destination)

    context.connect('download-started', on_download)

    def on_automation(_context, session):
        info = WebKit2.ApplicationInfo()
        info.set_name('webkit-shell')
        info.set_version(WebKit2.get_major_version(), WebKit2.get_minor_version(),
                         WebKit2.get_micro_version())
        session.set_application_info(info)
        session.connect('create-web-view', lambda *_: new_view(True))

    context.connect('automation-started', on_automation)

    if not options.automation:
        new_view(False).load_uri('about:blank')

    loop = GLib.MainLoop()
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, lambda: loop.quit() or False)
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
