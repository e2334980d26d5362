// Plays the manifest ?src= with the player ?player= (hls.js, dash.js, Shaka)
// and its options ?opts= (JSON; credentials: requests carry cookies; config:
// the player's own configuration, as hls.js, dash.js and Shaka take it), then
// seeks to ?seek= seconds and plays on. window.played is a promise of
//   {ok, error, ttp, seek, buffered, height, notes}
// ttp: ms from handing the player the manifest to its first frame played;
// seek: ms from setting currentTime to playing past it; buffered: whether the
// seek's point was buffered when it was asked (a seek past the buffer must
// fetch); height: the rendition's; notes: the players' recoverable errors. Every step is bounded,
// so a case that cannot play ends in seconds with the reason.
"use strict";
(function () {
  const query = new URLSearchParams(location.search);
  const src = query.get("src");
  const name = query.get("player");
  const seekTo = Number(query.get("seek") || "45");
  const opts = JSON.parse(query.get("opts") || "{}");
  const video = document.querySelector("video");
  const errors = [];
  const notes = [];

  // Each player's start, with its fatal errors in errors and the others in
  // notes. A player that fails says so through its events, not only by a
  // rejected promise.
  const players = {
    "hls.js": function () {
      const config = Object.assign({}, opts.config);
      if (opts.credentials) {
        config.xhrSetup = function (xhr) { xhr.withCredentials = true; };
      }
      const hls = new Hls(config);
      hls.on(Hls.Events.ERROR, function (event, data) {
        (data.fatal ? errors : notes).push("hls.js " + data.type + " " + data.details);
      });
      hls.loadSource(src);
      hls.attachMedia(video);
    },
    "dash.js": function () {
      const player = dashjs.MediaPlayer().create();
      if (opts.config) {
        player.updateSettings(opts.config);
      }
      if (opts.credentials) {
        player.setXHRWithCredentialsForType(undefined, true);
      }
      player.on(dashjs.MediaPlayer.events.ERROR, function (event) {
        const error = event.error || {};
        errors.push("dash.js " + error.code + " " + error.message);
      });
      player.initialize(video, src, true);
    },
    "Shaka": function () {
      shaka.polyfill.installAll();
      const player = new shaka.Player();
      if (opts.config) {
        player.configure(opts.config);
      }
      player.addEventListener("error", function (event) {
        const error = event.detail || {};
        (error.severity === shaka.util.Error.Severity.CRITICAL ? errors : notes)
          .push("Shaka " + error.code + " " + JSON.stringify(error.data || []).slice(0, 200));
      });
      if (opts.credentials) {
        player.getNetworkingEngine().registerRequestFilter(function (type, request) {
          request.allowCrossSiteCredentials = true;
        });
      }
      return player.attach(video).then(function () { return player.load(src); })
        .catch(function (error) { errors.push("Shaka load " + error.code); });
    },
  };

  video.addEventListener("error", function () {
    const error = video.error || {};
    errors.push("video element " + error.code + " " + error.message);
  });

  // Resolves once test() holds, rejects after ms or at the first fatal error.
  function until(what, test, ms) {
    return new Promise(function (resolve, reject) {
      const end = performance.now() + ms;
      const timer = setInterval(function () {
        if (errors.length) {
          clearInterval(timer);
          reject(new Error(errors.join("; ")));
        } else if (test()) {
          clearInterval(timer);
          resolve(performance.now());
        } else if (performance.now() > end) {
          clearInterval(timer);
          reject(new Error(what + ": not within " + ms + " ms (at " + video.currentTime.toFixed(2) + " s)"));
        }
      }, 10);
    });
  }

  function playing() {
    return !video.paused && !video.seeking && video.readyState >= 3;
  }

  async function run() {
    if (!players[name]) {
      throw new Error("no player " + name);
    }
    const start = performance.now();
    await players[name]();
    const first = await until("the first frame", function () { return playing() && video.currentTime > 0; }, 10000);
    await until("3 s played", function () { return video.currentTime >= 3; }, 8000);
    let buffered = false;
    for (let i = 0; i < video.buffered.length; i++) {
      buffered = buffered || (video.buffered.start(i) <= seekTo && seekTo < video.buffered.end(i));
    }
    const asked = performance.now();
    video.currentTime = seekTo;
    const sought = await until("playing after the seek", function () {
      return playing() && video.currentTime > seekTo;
    }, 8000);
    await until("2 s played after the seek", function () { return video.currentTime >= seekTo + 2; }, 6000);
    return { ok: true, ttp: first - start, seek: sought - asked, buffered: buffered, height: video.videoHeight,
             notes: notes };
  }

  window.played = run().catch(function (error) {
    return { ok: false, error: String(error.message || error), notes: notes };
  });
})();
