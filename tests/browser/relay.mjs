// Runs in the agent's network namespace and relays connections from the
// listener it is handed (port 12180 in the browser's namespace) to the agent,
// counting requests by method: the agent itself logs nothing per request.
import net from 'node:net';

const counts = { OPTIONS: 0, GET: 0, other: 0 };

function relay(client) {
  const agent = net.connect(12180, '127.0.0.1');
  let head = '';
  // Listens before pipe() does, so a request is counted before the agent sees it.
  client.on('data', function countMethod(chunk) {
    head += chunk.toString('latin1');
    const space = head.indexOf(' ');
    if (space < 0 && head.length < 16) return;
    const method = space < 0 ? head : head.slice(0, space);
    counts[method === 'OPTIONS' || method === 'GET' ? method : 'other'] += 1;
    client.off('data', countMethod);
  });
  client.pipe(agent);
  agent.pipe(client);
  client.on('error', () => agent.destroy());
  agent.on('error', () => client.destroy());
}

process.on('message', (message, server) => {
  if (message === 'serve') {
    server.on('connection', relay);
    process.send({ ready: true });
  } else if (message === 'counts') {
    process.send({ counts: { ...counts } });
  }
});
