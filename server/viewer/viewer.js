// The viewer: asks for the token, receives the desktop over WebRTC (WHEP,
// no trickle), keeps reconnecting, shows statistics and hands the "input"
// data channel to input.js. Plain script: phones on http:// run it as is.
'use strict';

(function () {
  const tokenKey = 'quorvex.token';
  const $ = (id) => document.getElementById(id);
  const stage = $('stage'), video = $('video'), audio = $('audio'), surface = $('surface');
  const statusBox = $('status'), warning = $('warning'), soundHint = $('sound');
  const statsPanel = $('stats'), statsButton = $('stats-button'), fullscreenButton = $('fullscreen-button');
  const login = $('login'), tokenField = $('token'), loginMessage = $('login-message');

  const state = {
    pc: null,
    channel: null,
    detachInput: null,
    resource: null,      // the session's Location, for DELETE
    session: null,       // the server's "session" message
    connected: false,
    attempt: 0,
    retryTimer: 0,
    generation: 0,       // bumps on every new connection; stale callbacks compare against it
    lastError: '',
  };

  function storedToken() {
    try { return localStorage.getItem(tokenKey) || ''; } catch (e) { return ''; }
  }
  function storeToken(token) {
    try {
      if (token) localStorage.setItem(tokenKey, token); else localStorage.removeItem(tokenKey);
    } catch (e) { /* private mode: the token lasts for this page only */ }
  }
  let token = storedToken();

  function setStatus(text) { statusBox.textContent = text; }

  // ---- token ---------------------------------------------------------------

  function askForToken(rejected) {
    login.hidden = false;
    login.classList.toggle('error', rejected);
    loginMessage.textContent = rejected ? 'That token was not accepted. Type the token again.'
                                        : 'This computer needs its token.';
    tokenField.value = '';
    tokenField.focus();
    setStatus('');
  }

  login.addEventListener('submit', (e) => {
    e.preventDefault();
    token = tokenField.value.trim();
    if (!token) return;
    storeToken(token);
    login.hidden = true;
    connect();
  });

  // ---- WHEP ----------------------------------------------------------------

  function headers(extra) {
    const h = Object.assign({}, extra);
    if (token) h['Authorization'] = 'Bearer ' + token;
    return h;
  }

  // Ends the session on the server so it frees the viewer's slot at once.
  function endSession(keepalive) {
    const resource = state.resource;
    state.resource = null;
    if (!resource) return;
    fetch(resource, { method: 'DELETE', headers: headers(), keepalive: !!keepalive }).catch(() => {});
  }

  function closePeer() {
    state.generation++;
    if (state.detachInput) {
      try { state.detachInput(); } catch (e) { /* input.js's own fault; the next attach starts clean */ }
    }
    state.detachInput = null;
    if (state.channel) state.channel.close();
    if (state.pc) state.pc.close();
    state.pc = null;
    state.channel = null;
    state.connected = false;
  }

  function gatheringComplete(pc, timeoutMs) {
    if (pc.iceGatheringState === 'complete') return Promise.resolve();
    return new Promise((resolve) => {
      const done = () => {
        if (pc.iceGatheringState !== 'complete') return;
        pc.removeEventListener('icegatheringstatechange', done);
        resolve();
      };
      pc.addEventListener('icegatheringstatechange', done);
      // The offer goes out with the candidates found so far if gathering hangs.
      setTimeout(resolve, timeoutMs);
    });
  }

  async function connect() {
    clearTimeout(state.retryTimer);
    endSession(false);
    closePeer();
    const generation = state.generation;
    setStatus(state.attempt > 0 ? reconnectText() : 'Connecting…');

    const pc = new RTCPeerConnection({ iceServers: [], bundlePolicy: 'max-bundle' });
    state.pc = pc;
    // Before the offer, so the offer carries the data channel.
    const channel = pc.createDataChannel('input', { ordered: true });
    state.channel = channel;
    pc.addTransceiver('video', { direction: 'recvonly' });
    pc.addTransceiver('audio', { direction: 'recvonly' });
    pc.ontrack = (e) => {
      // Each track on its own element: the order of ontrack varies.
      const element = e.track.kind === 'video' ? video : audio;
      // A remote desktop wants each picture as soon as it is decoded: no
      // extra buffering against network jitter for video.
      if (e.track.kind === 'video') {
        if ('jitterBufferTarget' in e.receiver) e.receiver.jitterBufferTarget = 0;
        else if ('playoutDelayHint' in e.receiver) e.receiver.playoutDelayHint = 0;
      }
      element.srcObject = new MediaStream([e.track]);
      play(element);
    };
    pc.onconnectionstatechange = () => onConnectionState(pc, generation);
    channel.onopen = () => {
      if (generation !== state.generation) return;
      if (window.qxInput && typeof window.qxInput.attach === 'function') {
        const detach = window.qxInput.attach(channel, surface, video);
        state.detachInput = typeof detach === 'function' ? detach : null;
      }
    };
    channel.addEventListener('message', (e) => onChannelMessage(e, generation));

    let response;
    try {
      await pc.setLocalDescription(await pc.createOffer());
      await gatheringComplete(pc, 3000);
      if (generation !== state.generation) return;
      response = await fetch('whep', {
        method: 'POST',
        headers: headers({ 'Content-Type': 'application/sdp' }),
        body: pc.localDescription.sdp,
      });
    } catch (e) {
      if (generation === state.generation) retry('Cannot reach this computer.');
      return;
    }
    if (generation !== state.generation) return;
    if (response.status === 401) {
      closePeer();
      const rejected = !!token;
      token = '';
      storeToken('');
      askForToken(rejected);
      return;
    }
    if (response.status === 503) {
      retry('This computer already has as many viewers as it allows.');
      return;
    }
    if (response.status !== 201) {
      // The server's reasons are short plain text; anything else is not shown.
      const plain = (response.headers.get('Content-Type') || '').startsWith('text/plain');
      const reason = plain ? (await response.text().catch(() => '')).trim().slice(0, 160) : '';
      retry('The computer refused the connection (' + response.status + (reason ? ': ' + reason : '') + ').');
      return;
    }
    const location = response.headers.get('Location');
    if (location) state.resource = new URL(location, response.url).href;
    try {
      await pc.setRemoteDescription({ type: 'answer', sdp: await response.text() });
    } catch (e) {
      if (generation === state.generation) retry('The computer\'s answer could not be used.');
      return;
    }
    watchFirstConnection(pc, generation);
  }

  // A session whose connection never comes up is retried, not waited on forever.
  function watchFirstConnection(pc, generation) {
    setTimeout(() => {
      if (generation === state.generation && !state.connected) retry('The connection did not come up.');
    }, 15000);
  }

  let disconnectTimer = 0;
  function onConnectionState(pc, generation) {
    if (generation !== state.generation) return;
    const s = pc.connectionState;
    clearTimeout(disconnectTimer);
    if (s === 'connected') {
      state.connected = true;
      state.attempt = 0;
      state.lastError = '';
      setStatus('');
    } else if (s === 'failed' || s === 'closed') {
      retry('The connection dropped.');
    } else if (s === 'disconnected') {
      // Often comes back by itself within a moment (a busy network, a phone waking up).
      setStatus('The connection is interrupted…');
      disconnectTimer = setTimeout(() => {
        if (generation === state.generation && pc.connectionState !== 'connected') retry('The connection dropped.');
      }, 4000);
    }
  }

  function reconnectText() {
    return (state.lastError ? state.lastError + ' ' : '') + 'Reconnecting (attempt ' + state.attempt + ')…';
  }

  function retry(reason) {
    closePeer();
    endSession(false);
    state.attempt++;
    state.lastError = reason;
    const delay = Math.min(10000, 1000 * Math.pow(2, Math.min(state.attempt - 1, 4)));
    setStatus(reason + ' Reconnecting in ' + Math.round(delay / 1000) + ' s…');
    clearTimeout(state.retryTimer);
    state.retryTimer = setTimeout(connect, delay);
  }

  function onChannelMessage(e, generation) {
    if (generation !== state.generation || typeof e.data !== 'string') return;
    let message;
    try { message = JSON.parse(e.data); } catch (err) { return; }
    if (!message || message.type !== 'session') return;
    state.session = message;
    warning.hidden = message.tokenRequired !== false;
    showProfile();
  }

  // ---- sound ---------------------------------------------------------------

  // Browsers refuse sound until the person touches the page: the first tap turns it on.
  function play(element) {
    const p = element.play();
    if (p && p.catch) {
      p.then(() => { if (element === audio) soundHint.hidden = true; })
       .catch(() => { if (element === audio) soundHint.hidden = false; });
    }
  }
  function unlockSound() {
    if (audio.srcObject && audio.paused) play(audio);
    if (video.srcObject && video.paused) play(video);
  }
  document.addEventListener('pointerdown', unlockSound, true);
  document.addEventListener('touchend', unlockSound, true);
  document.addEventListener('keydown', unlockSound, true);

  // ---- full screen ---------------------------------------------------------

  const fullscreen = {
    enabled: document.fullscreenEnabled || document.webkitFullscreenEnabled,
    element: () => document.fullscreenElement || document.webkitFullscreenElement,
    enter: () => (stage.requestFullscreen ? stage.requestFullscreen() : stage.webkitRequestFullscreen()),
    exit: () => (document.exitFullscreen ? document.exitFullscreen() : document.webkitExitFullscreen()),
  };
  // Only where the browser offers it (not on an iPhone): the stage goes full screen, so the
  // touch layer and the controls stay above the picture.
  fullscreenButton.hidden = !fullscreen.enabled;
  fullscreenButton.addEventListener('click', () => {
    const request = fullscreen.element() ? fullscreen.exit() : fullscreen.enter();
    if (request && request.catch) request.catch(() => {});
  });

  // ---- statistics ----------------------------------------------------------

  const profileNames = { 66: 'Baseline', 77: 'Main', 88: 'Extended', 100: 'High', 110: 'High 10', 122: 'High 4:2:2',
    244: 'High 4:4:4' };

  // "640c1f" -> "Constrained High 3.1 (640c1f)"
  function profileName(id) {
    if (!/^[0-9a-f]{6}$/i.test(id || '')) return id || '–';
    const idc = parseInt(id.slice(0, 2), 16), flags = parseInt(id.slice(2, 4), 16), level = parseInt(id.slice(4), 16);
    let name = profileNames[idc] || 'profile ' + idc;
    if ((idc === 66 && (flags & 0x40)) || (idc === 100 && (flags & 0x0c) === 0x0c)) name = 'Constrained ' + name;
    return name + ' ' + (level / 10).toFixed(1) + ' (' + id.toLowerCase() + ')';
  }

  function showProfile() {
    const s = state.session;
    const mismatch = $('stat-mismatch');
    if (!s || !s.streamProfile) {
      $('stat-profile').textContent = '–';
      mismatch.hidden = true;
      return;
    }
    $('stat-profile').textContent = profileName(s.streamProfile);
    // Levels and compatible flags aside: "Constrained Baseline 3.1 (42e01f)" -> "Constrained Baseline".
    const family = (id) => profileName(id).replace(/ [0-9.]+ \(.*\)$/, '');
    const differs = s.signalledProfile && family(s.signalledProfile) !== family(s.streamProfile);
    mismatch.hidden = !differs;
    if (differs) {
      mismatch.textContent = 'Signalled as ' + profileName(s.signalledProfile) +
        ': this browser did not offer the stream\'s profile. A hardware decoder may refuse it.';
    }
  }

  let previous = null;
  async function updateStats() {
    const pc = state.pc;
    if (statsPanel.hidden || !pc) return;
    let report;
    try { report = await pc.getStats(); } catch (e) { return; }
    let videoIn = null, bytes = 0, rtt = null;
    report.forEach((s) => {
      if (s.type === 'inbound-rtp') {
        bytes += s.bytesReceived || 0;
        if (s.kind === 'video') videoIn = s;
      } else if (s.type === 'candidate-pair' && s.nominated && s.state === 'succeeded' &&
                 s.currentRoundTripTime !== undefined) {
        rtt = s.currentRoundTripTime;
      }
    });
    const now = performance.now();
    const frames = videoIn ? videoIn.framesDecoded || 0 : 0;
    if (videoIn && videoIn.frameWidth) {
      $('stat-resolution').textContent = videoIn.frameWidth + '×' + videoIn.frameHeight;
    }
    if (previous && now > previous.time) {
      const seconds = (now - previous.time) / 1000;
      $('stat-fps').textContent = Math.max(0, (frames - previous.frames) / seconds).toFixed(0);
      const bits = Math.max(0, bytes - previous.bytes) * 8 / seconds;
      $('stat-bitrate').textContent = bits >= 1e6 ? (bits / 1e6).toFixed(2) + ' Mbit/s'
                                                  : (bits / 1e3).toFixed(0) + ' kbit/s';
    }
    if (rtt !== null) $('stat-rtt').textContent = (rtt * 1000).toFixed(1) + ' ms';
    previous = { time: now, frames, bytes };
  }
  setInterval(updateStats, 1000);

  statsButton.addEventListener('click', () => {
    statsPanel.hidden = !statsPanel.hidden;
    statsButton.setAttribute('aria-pressed', String(!statsPanel.hidden));
    previous = null;
    updateStats();
  });

  // ---- page life -----------------------------------------------------------

  window.addEventListener('pagehide', () => endSession(true));

  // For the person debugging a phone over remote DevTools, and for the tests.
  window.qxViewer = {
    get pc() { return state.pc; },
    get channel() { return state.channel; },
    get connected() { return state.connected; },
    get session() { return state.session; },
    reconnect: connect,
  };

  connect();
})();
