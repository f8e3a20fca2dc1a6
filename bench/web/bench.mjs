// The page's patch of the full-size demo image in Debian's headless Chromium
// and Firefox ESR, against the same browser reading the image once in 32 MiB
// slices (bench/web/read.html) and against the native program.
//
// node bench/web/bench.mjs SITE IMAGE NATIVE_PROGRAM [RUNS]
//
// For each browser, RUNS (default 3) alternations of a read and a patch; the
// medians are reported, with the patch's peak memory: the module's memory
// (wasm) and the peak resident memory of the process that runs the page's
// worker (VmHWM of the renderer or content process, with its level before the
// image was picked).
import {execFileSync, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import {createRequire} from 'node:module';
import path from 'node:path';
import {fileURLToPath, pathToFileURL} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const require = createRequire(path.join(root, 'web/test/package.json'));
const puppeteer = (await import(pathToFileURL(require.resolve('puppeteer-core')).href)).default;
const {serve} = await import(pathToFileURL(path.join(root, 'web/serve.mjs')).href);

const [site, image, nativeArgument, runsText] = process.argv.slice(2);
const native = path.resolve(nativeArgument);
const runs = Number(runsText || 3);

function median(values) {
    const sorted = [...values ].sort((a, b) => a - b);
    const middle = Math.floor(sorted.length / 2);
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

function launch(browser) {
    if (browser === 'chromium') {
        return puppeteer.launch({
            executablePath: '/usr/bin/chromium',
            headless: true,
            args: [ '--no-sandbox', '--disable-dev-shm-usage' ],
            protocolTimeout: 600000,
        });
    }
    return puppeteer.launch({
        browser: 'firefox',
        executablePath: '/usr/bin/firefox-esr',
        headless: true,
        protocolTimeout: 600000,
    });
}

function descendants(pid) {
    const children = new Map();
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(entry)) {
            continue;
        }
        try {
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
            const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
            if (!children.has(parent)) {
                children.set(parent, []);
            }
            children.get(parent).push(Number(entry));
        } catch (error) {
            // Gone meanwhile.
        }
    }
    const all = [];
    const queue = [ pid ];
    while (queue.length) {
        const next = queue.shift();
        all.push(next);
        queue.push(...(children.get(next) || []));
    }
    return all;
}

// The processes that run pages (and so their workers).
function pageProcesses(browser) {
    return descendants(browser.process().pid).filter((pid) => {
        try {
            const command = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
            return command.includes('--type=renderer') || command.includes('-contentproc');
        } catch (error) {
            return false;
        }
    });
}

function statusKilobytes(pid, field) {
    try {
        const match =
            fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(new RegExp(`${field}:\\s+(\\d+)`));
        return match ? Number(match[1]) : 0;
    } catch (error) {
        return 0;
    }
}

async function pick(page, file) {
    const input = await page.$('#image');
    await input.uploadFile(file);
}

async function readOnce(browser, url) {
    const page = await browser.newPage();
    await page.goto(url + 'read.html');
    await pick(page, image);
    await page.waitForFunction(() => window.readResult, {timeout: 600000, polling: 200});
    const result = await page.evaluate(() => window.readResult);
    await page.close();
    return result.seconds;
}

async function patchOnce(browser, url) {
    const page = await browser.newPage();
    await page.evaluateOnNewDocument(() => { delete window.showSaveFilePicker; });
    await page.goto(url);
    await page.waitForFunction(() => document.querySelector('#image') !== null);
    const before =
        new Map(pageProcesses(browser).map((pid) => [pid, statusKilobytes(pid, 'VmRSS')]));
    let peak = 0;
    let peakBefore = 0;
    const sampler = setInterval(() => {
        for (const pid of pageProcesses(browser)) {
            const rss = statusKilobytes(pid, 'VmRSS');
            if (rss > peak) {
                peak = rss;
                peakBefore = before.get(pid) || 0;
            }
        }
    }, 100);
    const start = performance.now();
    await pick(page, image);
    try {
        await page.waitForFunction(() => !document.querySelector('#save').hidden, {
            timeout: Number(process.env.WEB_PATCH_TIMEOUT || 600000),
            polling: 100,
        });
    } catch (error) {
        const shown = await page.evaluate(() => ['figures', 'notice', 'messages'].map(
                                              (id) => document.getElementById(id).textContent));
        throw new Error(`the patch did not finish: ${JSON.stringify(shown)}`);
    }
    const seconds = (performance.now() - start) / 1000;
    clearInterval(sampler);
    let wasm = NaN;
    for (const worker of page.workers ? page.workers() : []) {
        wasm = await worker.evaluate(() => (typeof HEAPU8 === 'undefined' ? NaN : HEAPU8.length))
                   .catch(() => NaN);
    }
    // The next page removes the stored image as a leftover once this one is gone.
    await page.close();
    return {seconds, peak, peakBefore, wasm};
}

function nativeRun() {
    const folder = fs.mkdtempSync(path.join(path.dirname(image), 'native-'));
    fs.linkSync(image, path.join(folder, 'Veltrane.iso'));
    const start = performance.now();
    const result = spawnSync(native, [], {cwd: folder, input: '\n'});
    const seconds = (performance.now() - start) / 1000;
    fs.rmSync(folder, {recursive: true, force: true});
    if (result.status !== 0) {
        throw new Error('the native program failed');
    }
    return seconds;
}

const server = await serve(site);
const reader = await serve(here);
const nativeTimes = [];
for (let run = 0; run < runs; ++run) {
    execFileSync('sync');
    nativeTimes.push(nativeRun());
}
const nativeSeconds = median(nativeTimes);
console.log(`native program: ${nativeSeconds.toFixed(1)} s (median of ${runs})`);
for (const name of (process.env.WEB_BROWSERS || 'chromium firefox').split(' ')) {
    const browser = await launch(name);
    const reads = [];
    const patches = [];
    for (let run = 0; run < runs; ++run) {
        execFileSync('sync');
        reads.push(await readOnce(browser, reader.url));
        execFileSync('sync');
        patches.push(await patchOnce(browser, server.url));
    }
    await browser.close();
    const read = median(reads);
    const patch = median(patches.map((p) => p.seconds));
    const peak = Math.max(...patches.map((p) => p.peak)) / 1024;
    const level =
        patches.find((p) => p.peak * 1 === Math.max(...patches.map((q) => q.peak))).peakBefore /
        1024;
    const wasm = Math.max(...patches.map((p) => p.wasm)) / 1048576;
    console.log(`${name}: patch ${patch.toFixed(1)} s, read once ${read.toFixed(1)} s: ` +
                `${(patch / read).toFixed(2)} x the read (goal 1.3), ` +
                `${(patch / nativeSeconds).toFixed(2)} x the native program; ` +
                `module memory ${Number.isNaN(wasm) ? 'n/a' : wasm.toFixed(0) + ' MiB'}, ` +
                `page process peak ${peak.toFixed(0)} MiB (${
                    level.toFixed(0)} MiB before the image was picked)`);
}
await server.close();
await reader.close();
