// node check.mjs CHROMIUM FILE[=SECONDS]...: plays each FILE, an export of
// mpegexport's test card SECONDS long (10 unless given), in headless Chromium
// and checks what a viewer would see: the duration at load, the picture after
// seeking, and the sound against the picture. One line per file and check;
// exits 1 when a check fails.
//
// The test card shows its picture number in 3x5 block digits and, for the
// first 0.2 s of every second, is white and beeps at 1 kHz. Flash onsets come
// from the frames the video element presents (requestVideoFrameCallback gives
// each frame's media time), beep onsets from decodeAudioData, which applies
// the file's edit lists as playback does: both on the media timeline.

import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [chromium, ...files] = process.argv.slice(2);
const kFps = 25;
// The audio track may end up to one AAC frame (128 ms at 8 kHz) after the
// pictures; a time base the player misreads is off by seconds.
const kDurationTolerance = 0.13;
// ITU-R BT.1359 notices sound 45 ms early or 125 ms late; the library aims at
// the tighter bound both ways.
const kSyncBound = 0.045;

// Runs in the page, served from the same origin as the file (the canvas
// stays readable).
async function measure(url, seeks, fps, seconds) {
  const video = document.createElement('video');
  video.muted = true; // playback only times the pictures; the sound is decoded below
  video.src = url;
  document.body.appendChild(video);
  const failed = new Promise((_, reject) => video.addEventListener('error', () =>
    reject(new Error(`media error ${video.error && video.error.code}: ${video.error && video.error.message}`))));
  const once = (event, ms = 20000) => Promise.race([failed, new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${event} within ${ms} ms`)), ms);
    video.addEventListener(event, () => { clearTimeout(timer); resolve(); }, { once: true });
  })]);
  await once('canplay');
  const result = { duration: video.duration, seeks: [], flashes: [], beeps: [] };
  const canvas = Object.assign(document.createElement('canvas'), { width: video.videoWidth, height: video.videoHeight });
  const context = canvas.getContext('2d', { willReadFrequently: true });

  // The picture number, from the digits' cells (24-pixel cells from (56, 56),
  // a digit every four cells); -1 when they read as no digit.
  const kDigits = [[7, 5, 5, 5, 7], [2, 6, 2, 2, 7], [7, 1, 7, 4, 7], [7, 1, 7, 1, 7], [5, 5, 7, 1, 1],
                   [7, 4, 7, 1, 7], [7, 4, 7, 5, 7], [7, 1, 1, 1, 1], [7, 5, 7, 5, 7], [7, 5, 7, 1, 7]];
  const readNumber = () => {
    context.drawImage(video, 0, 0);
    const pixels = context.getImageData(0, 0, 400, 220).data;
    let value = 0;
    for (let d = 0; d < 3; ++d) {
      const rows = [0, 1, 2, 3, 4].map((row) => [0, 1, 2].reduce((bits, column) =>
        bits | (pixels[((56 + row * 24 + 12) * 400 + 56 + (d * 4 + column) * 24 + 12) * 4 + 1] > 128 ? 4 >> column : 0), 0));
      const digit = kDigits.findIndex((pattern) => pattern.every((bits, row) => bits === rows[row]));
      if (digit < 0)
        return -1;
      value = value * 10 + digit;
    }
    return value;
  };
  for (const time of seeks) {
    const seeked = once('seeked');
    video.currentTime = time;
    await seeked;
    // The next presented frame, or after a while whatever is shown.
    await Promise.race([new Promise((resolve) => video.requestVideoFrameCallback(resolve)),
                        new Promise((resolve) => setTimeout(resolve, 1000))]);
    result.seeks.push({ time, picture: readNumber() });
  }

  // Playback from the start: is each presented frame white (sampled right of
  // the number, away from the moving box), by its weakest colour channel?
  const frames = [];
  const onFrame = (now, metadata) => {
    context.drawImage(video, 0, 0, 64, 36);
    const pixels = context.getImageData(32, 2, 30, 6).data;
    let sum = 0;
    for (let i = 0; i < pixels.length; i += 4)
      sum += Math.min(pixels[i], pixels[i + 1], pixels[i + 2]);
    frames.push({ time: metadata.mediaTime, white: sum / (pixels.length / 4) > 230 });
    video.requestVideoFrameCallback(onFrame);
  };
  const rewound = once('seeked');
  video.currentTime = 0;
  await rewound;
  video.requestVideoFrameCallback(onFrame);
  const ended = once('ended', (seconds + 20) * 1000);
  await video.play();
  await ended;
  frames.sort((a, b) => a.time - b.time);
  result.framesSeen = frames.length;
  // A flash onset is known to the frame where the frame before a white run
  // was seen, or else the frame after it (a flash lasts a fifth of a second);
  // the compositor may drop a frame now and then.
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
      result.flashes.push(frames[end + 1].time - 0.2);
  }

  // Beep onsets: the first sample of each second's window louder than the
  // quiet tone can be.
  let buffer;
  try {
    const bytes = await (await fetch(url)).arrayBuffer();
    buffer = await new OfflineAudioContext(1, 1, 48000).decodeAudioData(bytes);
  } catch (error) {
    result.audioError = String(error);
    return result;
  }
  const samples = buffer.getChannelData(0);
  result.audioSeconds = buffer.duration;
  for (let second = 0; second < seconds + 1; ++second) {
    const from = Math.max(0, Math.round((second - 0.4) * buffer.sampleRate));
    const to = Math.min(samples.length, Math.round((second + 0.6) * buffer.sampleRate));
    const loud = samples.subarray(from, to).findIndex((sample) => Math.abs(sample) > 0.25);
    if (loud >= 0)
      result.beeps.push((from + loud) / buffer.sampleRate);
  }
  return result;
}

// The files over HTTP on 127.0.0.1, with byte ranges, as a web server gives
// them to a player; '/' is an empty page for the checks to run in.
const server = http.createServer((request, response) => {
  const file = (files[Number(request.url.slice(1)) - 1] || '').split('=')[0]; // '/N': the Nth file
  if (!file)
    return response.end('<!doctype html>');
  const size = fs.statSync(file).size;
  const range = /^bytes=(\d*)-(\d*)$/.exec(request.headers.range || '');
  const start = range && range[1] ? Number(range[1]) : 0;
  const end = range && range[2] ? Math.min(Number(range[2]), size - 1) : size - 1;
  const type = file.endsWith('.mov') ? 'video/quicktime' : 'video/mp4';
  response.writeHead(range ? 206 : 200, { 'Content-Type': type, 'Accept-Ranges': 'bytes',
    'Content-Length': end - start + 1, ...(range && { 'Content-Range': `bytes ${start}-${end}/${size}` }) });
  fs.createReadStream(file, { start, end }).pipe(response);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const base = `http://127.0.0.1:${server.address().port}`;

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-profile-'));
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
});
let failures = 0;
const report = (file, check, ok, text) => {
  failures += ok ? 0 : 1;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${file}: ${check}: ${text}`);
};
try {
  for (const [index, argument] of files.entries()) {
    const [file, given] = argument.split('=');
    const seconds = given ? Number(given) : 10;
    // A shorter export (one recovered after a kill) is sought early on.
    const seeks = seconds >= 8 ? [5.0, 7.3] : [1.0, 2.3];
    const page = await browser.newPage();
    page.on('console', (message) => console.log(`  [page] ${message.text()}`));
    let m;
    try {
      await page.goto(`${base}/`);
      m = await page.evaluate(measure, `${base}/${index + 1}`, seeks, kFps, seconds);
    } catch (error) {
      report(file, 'plays', false, String(error.message || error).split('\n')[0]);
      continue;
    } finally {
      await page.close();
    }
    report(file, 'duration at load', Math.abs(m.duration - seconds) <= kDurationTolerance,
           `${m.duration.toFixed(3)} s (expected ${seconds} s)`);
    for (const { time, picture } of m.seeks) {
      // The picture shown at `time` is the last one that began at or before it.
      const expected = Math.floor(time * kFps + 1e-9);
      report(file, `seek to ${time} s`, picture === expected, `picture ${picture}, expected ${expected}`);
    }
    if (m.audioError) {
      report(file, 'audio', false, m.audioError);
      continue;
    }
    report(file, 'audio present', m.audioSeconds > seconds - 0.5 && m.beeps.length >= Math.floor(seconds) - 1,
           `${m.audioSeconds.toFixed(3)} s decoded, ${m.beeps.length} beeps`);
    const offsets = m.beeps.map((beep) => beep - m.flashes.reduce((best, flash) =>
      Math.abs(flash - beep) < Math.abs(best - beep) ? flash : best, Infinity)).filter((o) => Math.abs(o) < 0.5);
    const offset = offsets.length ? offsets.sort((a, b) => a - b)[Math.floor(offsets.length / 2)] : NaN;
    report(file, 'beep against flash', offsets.length >= seconds / 2 && Math.abs(offset) <= kSyncBound,
           `median ${(offset * 1000).toFixed(0)} ms (${offsets.length} pairs from ${m.framesSeen} frames; ` +
           `bound ±${kSyncBound * 1000} ms)`);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(failures ? 1 : 0);
