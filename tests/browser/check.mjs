// node check.mjs CHROMIUM DIR FILE[=SECONDS]...: plays each FILE (relative to
// DIR, an export of mpegexport's test card, SECONDS long: 10 unless given) in
// headless Chromium and checks what a viewer would see: the duration at load,
// the picture after seeking, and the sound against the picture. Prints one
// line per file and check; exits 1 when a check fails.
//
// The test card shows its picture number in 3x5 block digits, turns white
// for the first 0.2 s of every second and beeps at 1 kHz for the same 0.2 s.
// Flash onsets come from the frames the video element presents during
// playback (requestVideoFrameCallback gives each frame's media time); beep
// onsets from decodeAudioData of the fetched file, which applies the file's
// edit lists as playback does. Both are on the media timeline, so their
// difference is the offset a viewer sees, whatever the playback speed.

import http from 'node:http';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [chromium, root, ...files] = process.argv.slice(2);
if (!chromium || !root || files.length === 0) {
  console.error('usage: node check.mjs CHROMIUM DIR FILE[=SECONDS]...');
  process.exit(2);
}

const kFps = 25;
const kSeconds = 10;
const kSeeks = [5.0, 7.3];
// A shorter export (one recovered after a kill) is sought early on.
const kShortSeeks = [1.0, 2.3];
// Seconds: the audio track may end up to one AAC frame (128 ms at 8 kHz)
// after the pictures; a time base the player misreads is off by seconds.
const kDurationTolerance = 0.13;
// ITU-R BT.1359: sound more than 45 ms early or 125 ms late is noticed; the
// library aims at the tighter bound both ways.
const kSyncBound = 0.045;

// A static server for DIR on 127.0.0.1 with byte ranges, which media elements
// ask for.
function serve(dir) {
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    if (name === '/') {
      // An empty page on the files' origin: canvases and fetch may read them.
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end('<!doctype html><title>check</title><link rel="icon" href="data:,"><body></body>');
      return;
    }
    const file = path.join(dir, path.normalize(name).replace(/^(\.\.[/\\])+/, ''));
    fs.stat(file, (error, stat) => {
      if (error || !stat.isFile()) {
        response.writeHead(404);
        response.end();
        return;
      }
      const headers = { 'Content-Type': file.endsWith('.mov') ? 'video/quicktime' : 'video/mp4',
                        'Accept-Ranges': 'bytes' };
      const range = /^bytes=(\d*)-(\d*)$/.exec(request.headers.range || '');
      if (!range || (range[1] === '' && range[2] === '')) {
        response.writeHead(200, { ...headers, 'Content-Length': stat.size });
        fs.createReadStream(file).pipe(response);
        return;
      }
      let start = range[1] === '' ? stat.size - Number(range[2]) : Number(range[1]);
      let end = range[1] === '' || range[2] === '' ? stat.size - 1 : Number(range[2]);
      start = Math.max(start, 0);
      end = Math.min(end, stat.size - 1);
      if (start > end) {
        response.writeHead(416, { 'Content-Range': `bytes */${stat.size}` });
        response.end();
        return;
      }
      response.writeHead(206, { ...headers, 'Content-Length': end - start + 1,
                                'Content-Range': `bytes ${start}-${end}/${stat.size}` });
      fs.createReadStream(file, { start, end }).pipe(response);
    });
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// Runs in the page: everything measured about one file.
async function measure(url, seeks, fps, seconds) {
  const video = document.createElement('video');
  video.muted = true; // playback only times the pictures; the sound is decoded below
  video.preload = 'auto';
  document.body.appendChild(video);
  const once = (target, event, ms) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${event} within ${ms} ms`)), ms);
    target.addEventListener(event, () => { clearTimeout(timer); resolve(); }, { once: true });
  });
  const failed = new Promise((_, reject) => video.addEventListener('error', () =>
    reject(new Error(`media error ${video.error && video.error.code}: ${video.error && video.error.message}`))));
  const guard = (promise) => Promise.race([promise, failed]);

  video.src = url;
  await guard(once(video, 'loadedmetadata', 20000));
  const result = { duration: video.duration };

  const canvas = document.createElement('canvas');
  canvas.width = video.videoWidth;
  canvas.height = video.videoHeight;
  const context = canvas.getContext('2d', { willReadFrequently: true });

  // The picture number, from the digits' cells (TestCard.cpp: 24-pixel cells
  // from (56, 56), a digit every four cells); -1 when they read as no digit.
  const kDigits = [[7, 5, 5, 5, 7], [2, 6, 2, 2, 7], [7, 1, 7, 4, 7], [7, 1, 7, 1, 7], [5, 5, 7, 1, 1],
                   [7, 4, 7, 1, 7], [7, 4, 7, 5, 7], [7, 1, 1, 1, 1], [7, 5, 7, 5, 7], [7, 5, 7, 1, 7]];
  const readNumber = () => {
    context.drawImage(video, 0, 0);
    const pixels = context.getImageData(0, 0, 400, 220).data;
    let value = 0;
    for (let d = 0; d < 3; ++d) {
      const rows = [];
      for (let row = 0; row < 5; ++row) {
        let bits = 0;
        for (let column = 0; column < 3; ++column) {
          const x = 56 + (d * 4 + column) * 24 + 12;
          const y = 56 + row * 24 + 12;
          if (pixels[(y * 400 + x) * 4 + 1] > 128)
            bits |= 4 >> column;
        }
        rows.push(bits);
      }
      const digit = kDigits.findIndex((pattern) => pattern.every((bits, row) => bits === rows[row]));
      if (digit < 0)
        return -1;
      value = value * 10 + digit;
    }
    return value;
  };
  // The next presented frame, or after a while whatever is shown.
  const presented = () => Promise.race([
    new Promise((resolve) => video.requestVideoFrameCallback(() => resolve())),
    new Promise((resolve) => setTimeout(resolve, 1000))]);

  await guard(once(video, 'canplay', 20000));
  result.seeks = [];
  for (const time of seeks) {
    const seeked = once(video, 'seeked', 20000);
    video.currentTime = time;
    await guard(seeked);
    await presented();
    result.seeks.push({ time, picture: readNumber() });
  }

  // Playback from the start: is each presented frame white (sampled right of
  // the number, away from the moving box)?
  const small = document.createElement('canvas');
  small.width = 64;
  small.height = 36;
  const smallContext = small.getContext('2d', { willReadFrequently: true });
  const frames = [];
  const onFrame = (now, metadata) => {
    smallContext.drawImage(video, 0, 0, 64, 36);
    const pixels = smallContext.getImageData(32, 2, 30, 6).data;
    // White: even the weakest colour channel is bright, on average.
    let sum = 0;
    for (let i = 0; i < pixels.length; i += 4)
      sum += Math.min(pixels[i], pixels[i + 1], pixels[i + 2]);
    frames.push({ time: metadata.mediaTime, white: sum / (pixels.length / 4) > 230 });
    video.requestVideoFrameCallback(onFrame);
  };
  const rewound = once(video, 'seeked', 20000);
  video.currentTime = 0;
  await guard(rewound);
  video.requestVideoFrameCallback(onFrame);
  const ended = once(video, 'ended', (seconds + 20) * 1000);
  await video.play();
  await guard(ended);
  result.audioDecodedBytes = video.webkitAudioDecodedByteCount;
  frames.sort((a, b) => a.time - b.time);
  result.framesSeen = frames.length;
  // Flash onsets, known to the frame where the frame before a white run was
  // seen, or else the frame after it (a flash is a fifth of a second long);
  // the compositor may drop a frame now and then.
  result.flashes = [];
  const adjacent = (a, b) => b.time - a.time < 1.5 / fps;
  for (let i = 0; i < frames.length; ++i) {
    if (!frames[i].white || (i > 0 && frames[i - 1].white))
      continue;
    let end = i;
    while (end + 1 < frames.length && frames[end + 1].white)
      ++end;
    if (i > 0 ? adjacent(frames[i - 1], frames[i]) : frames[i].time < 0.5 / fps)
      result.flashes.push(frames[i].time);
    else if (end + 1 < frames.length && adjacent(frames[end], frames[end + 1]))
      result.flashes.push(frames[end + 1].time - fps / 5 / fps);
  }

  // Beep onsets: the first sample of each second's window louder than the
  // quiet tone can be. Decoded at the file's own rate where the context allows.
  const bytes = await (await fetch(url)).arrayBuffer();
  const audioContext = new OfflineAudioContext(1, 1, 48000);
  let buffer;
  try {
    buffer = await audioContext.decodeAudioData(bytes);
  } catch (error) {
    result.audioError = String(error);
    return result;
  }
  const samples = buffer.getChannelData(0);
  const rate = buffer.sampleRate;
  result.audioSeconds = buffer.duration;
  result.beeps = [];
  for (let second = 0; second < seconds + 1; ++second) {
    const from = Math.max(0, Math.round((second - 0.4) * rate));
    const to = Math.min(samples.length, Math.round((second + 0.6) * rate));
    for (let i = from; i < to; ++i)
      if (Math.abs(samples[i]) > 0.25) {
        result.beeps.push(i / rate);
        break;
      }
  }
  return result;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.floor(sorted.length / 2)] : NaN;
}

const server = await serve(root);
const base = `http://127.0.0.1:${server.address().port}`;
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-profile-'));
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
});

let failures = 0;
const report = (file, check, ok, text) => {
  failures += ok ? 0 : 1;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${file}: ${check}: ${text}`);
};
try {
  for (const argument of files) {
    const [file, given] = argument.split('=');
    const seconds = given ? Number(given) : kSeconds;
    const seeks = seconds >= 8 ? kSeeks : kShortSeeks;
    const page = await browser.newPage();
    page.on('console', (message) => console.log(`  [page] ${message.text()}`));
    await page.goto(`${base}/`);
    let m;
    try {
      m = await page.evaluate(measure, `${base}/${file}`, seeks, kFps, seconds);
    } catch (error) {
      report(file, 'plays', false, String(error.message || error).split('\n')[0]);
      await page.close();
      continue;
    }
    await page.close();

    report(file, 'duration at load', Math.abs(m.duration - seconds) <= kDurationTolerance,
           `${m.duration.toFixed(3)} s (expected ${seconds} s)`);
    for (const { time, picture } of m.seeks) {
      // The picture shown at `time` began at or before it; the library's
      // first picture may start one tick late.
      const expected = Math.floor(time * kFps + 1e-9);
      report(file, `seek to ${time} s`, Math.abs(picture - expected) <= 1,
             `picture ${picture} (${(picture / kFps).toFixed(2)} s), expected ${expected}`);
    }
    if (m.audioError || !m.beeps) {
      report(file, 'audio', false, m.audioError || 'not decoded');
      continue;
    }
    report(file, 'audio present', m.audioSeconds > seconds - 0.5 && m.beeps.length >= Math.floor(seconds) - 1,
           `${m.audioSeconds.toFixed(3)} s decoded, ${m.beeps.length} beeps, ${m.audioDecodedBytes} bytes played`);
    const offsets = m.beeps.map((beep) => {
      const nearest = m.flashes.reduce((best, flash) => Math.abs(flash - beep) < Math.abs(best - beep) ? flash : best,
                                       Infinity);
      return beep - nearest;
    }).filter((offset) => Math.abs(offset) < 0.5);
    const offset = median(offsets);
    const first = m.beeps.length ? m.beeps[0] : NaN;
    report(file, 'beep against flash', offsets.length >= seconds / 2 && Math.abs(offset) <= kSyncBound,
           `${(offset * 1000).toFixed(0)} ms (${offsets.length} pairs from ${m.framesSeen} frames; ` +
           `first beep at ${(first * 1000).toFixed(0)} ms; bound ±${kSyncBound * 1000} ms)`);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(failures ? 1 : 0);
